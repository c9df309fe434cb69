// Tree creation from text and files, tree ids, and workers that cannot be started.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <kelmora/engine/trigger/mthread.hpp>

#include "support/fake_worker_engine.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using engine::trigger::ThreadEngine;
using core::TreeFileError;
using Strings = std::vector<std::string>;

// A file in a fresh temporary folder, removed with the folder.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes, const std::string& name = "tree.xml") {
    dir_ = std::filesystem::temp_directory_path() /
           ("kelmora-engine-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / name).string();
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string dir() const { return dir_.string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::string path_;
};

// Records the xml text every fake engine was built from.
struct BuiltTexts {
  std::mutex mutex;
  Strings texts;
  void attach(FakeWorld& world) {
    world.hooks.on_build = [this](FakeWorkerEngine&, const std::string& xml) {
      std::lock_guard lock(mutex);
      texts.push_back(xml);
    };
  }
  Strings get() {
    std::lock_guard lock(mutex);
    return texts;
  }
};

class CreationTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
  LogCapture log;
};

TEST_F(CreationTest, GeneratedIdsCountTheTreesPresent) {
  ThreadEngine engine(world->options());
  log.clear();
  EXPECT_EQ(engine.create_tree_from_text("A"), "tree_0");
  EXPECT_EQ(engine.create_tree_from_text("B"), "tree_1");
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"tree_0", "tree_1"}));
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{"info", "创建行为树: tree_0"}, {"info", "创建行为树: tree_1"}}));
}

TEST_F(CreationTest, IdsGivenByTheCallerCountToo) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "tree0");
  engine.create_tree_from_text("B", "tree1");
  EXPECT_EQ(engine.create_tree_from_text("C"), "tree_2");
  EXPECT_EQ(engine.create_tree_from_text("D", ""), "") << "any string is an id";
  EXPECT_EQ(engine.create_tree_from_text("E", "树"), "树");
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"tree0", "tree1", "tree_2", "", "树"}));
  EXPECT_EQ(engine.tick_once(""), NodeStatus::SUCCESS);
}

// Generated ids: "tree_" + the number of trees present when that id is free, else the next free
// "tree_N" above it; they never collide with a tree present, however trees were stopped.
struct GeneratedIdCase {
  const char* label;
  std::vector<std::string> steps;  // "+" creates without id, "+x" creates x, "-x" stops x
  std::string generated;
  Strings ids_after;
};

void PrintTo(const GeneratedIdCase& c, std::ostream* os) { *os << c.label; }

class GeneratedIdTest : public ::testing::TestWithParam<GeneratedIdCase> {};

TEST_P(GeneratedIdTest, IsTheCountOfTreesWhenFreeElseTheNextFreeAboveIt) {
  const auto& c = GetParam();
  auto world = std::make_shared<FakeWorld>();
  LogCapture log;
  ThreadEngine engine(world->options());
  for (const auto& step : c.steps) {
    if (step[0] == '+') {
      engine.create_tree_from_text("X",
                                   step.size() > 1 ? std::optional(step.substr(1)) : std::nullopt);
    } else {
      engine.stop_tree(step.substr(1));
    }
  }
  log.clear();
  EXPECT_EQ(engine.create_tree_from_text("N"), c.generated);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "创建行为树: " + c.generated}}));
  EXPECT_EQ(engine.get_tree_ids(), c.ids_after);
  EXPECT_EQ(engine.tick_once(c.generated), NodeStatus::SUCCESS);
  EXPECT_EQ(world->journal_of("N:"), (Strings{"N:build", "N:tick_once"}));
}

INSTANTIATE_TEST_SUITE_P(
    AfterStopsAndNamedTrees, GeneratedIdTest,
    ::testing::Values(
        GeneratedIdCase{
            "CountTakenAfterAStop", {"+", "+", "-tree_0"}, "tree_2", {"tree_1", "tree_2"}},
        GeneratedIdCase{"CountAndTheNextTaken",
                        {"+", "+", "+", "-tree_0"},
                        "tree_3",
                        {"tree_1", "tree_2", "tree_3"}},
        GeneratedIdCase{"CountFreeAfterStops",
                        {"+", "+", "+", "-tree_0", "-tree_1"},
                        "tree_1",
                        {"tree_2", "tree_1"}},
        GeneratedIdCase{"CountTakenByACallersId", {"+tree_1"}, "tree_2", {"tree_1", "tree_2"}},
        GeneratedIdCase{"CountFreeBesideACallersId",
                        {"+", "+tree_3"},
                        "tree_2",
                        {"tree_0", "tree_3", "tree_2"}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(CreationTest, DuplicateIdLeavesTheExistingTreeAndItsWorkerUntouched) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "x");
  engine.set_blackboard_data("x", "k", std::string("kept"));
  EXPECT_THROW(engine.create_tree_from_text("Z", "x"), ValueError);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("x", "k")), "kept");
  EXPECT_EQ(world->made, 1);
  EXPECT_TRUE(world->journal_of("Z:").empty());
}

TEST_F(CreationTest, StoppedIdCanBeCreatedAgainWithAFreshTree) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A");
  engine.set_blackboard_data("tree_0", "k", 1);
  engine.stop_tree("tree_0");
  EXPECT_EQ(engine.create_tree_from_text("B", "tree_0"), "tree_0");
  EXPECT_FALSE(engine.get_blackboard_data("tree_0", "k").has_value());
  EXPECT_EQ(world->journal_of("B:"), (Strings{"B:build", "B:get_blackboard_data k"}));
}

TEST_F(CreationTest, TreeThatCannotBeBuiltIsStillCreated) {
  world->hooks.on_build = [](FakeWorkerEngine&, const std::string&) {
    throw core::TreeBuildError("bad xml");
  };
  ThreadEngine engine(world->options());
  log.clear();
  EXPECT_EQ(engine.create_tree_from_text("<root>"), "tree_0");
  EXPECT_EQ(log.count("info", "创建行为树: tree_0"), 1u);
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"tree_0"}));
}

TEST_F(CreationTest, FileTextReachesTheWorkerWithLineEndsNormalisedAndBomKept) {
  BuiltTexts built;
  built.attach(*world);
  ThreadEngine engine(world->options());
  TempFile file("\xEF\xBB\xBF<root>\r\n<a/>\r<b/>\n\r\n</root>");
  EXPECT_EQ(engine.create_tree_from_file(file.path(), "F"), "F");
  engine.tick_once("F");
  EXPECT_EQ(built.get(), (Strings{"\xEF\xBB\xBF<root>\n<a/>\n<b/>\n\n</root>"}));
}

TEST_F(CreationTest, FileAndTextGiveTheSameTreeAndLogLines) {
  BuiltTexts built;
  built.attach(*world);
  const std::string xml = "<root>树 \xF0\x9F\x8C\xB3</root>";
  TempFile file(xml);
  std::vector<LogLine> from_text;
  {
    ThreadEngine engine(world->options());
    engine.create_tree_from_text(xml, "t");
    engine.tick_once("t");
    from_text = log.lines();
  }
  log.clear();
  {
    ThreadEngine engine(world->options());
    engine.create_tree_from_file(file.path(), "t");
    engine.tick_once("t");
    EXPECT_EQ(log.lines(), from_text);
  }
  EXPECT_EQ(built.get(), (Strings{xml, xml}));
}

TEST_F(CreationTest, UnreadableOrNonUtf8FilesFailNamingThePathAndCreateNothing) {
  TempFile dir("");
  struct Case {
    const char* label;
    std::string bytes;  // file content; unused for the path cases
    std::string path;   // empty: the file with `bytes`
    std::errc code;
  };
  const std::vector<Case> cases = {
      {"missing file", "", dir.dir() + "/nothing.xml", std::errc::no_such_file_or_directory},
      {"a directory", "", dir.dir(), std::errc::is_a_directory},
      {"a device that never ends", "", "/dev/zero", std::errc::invalid_argument},
      {"a pipe without writer", "", dir.dir() + "/pipe", std::errc::invalid_argument},
      {"invalid byte", "<root>\xFF</root>", "", std::errc::illegal_byte_sequence},
      {"overlong slash", "<root>\xC0\xAF</root>", "", std::errc::illegal_byte_sequence},
      {"surrogate", "<root>\xED\xA0\x80</root>", "", std::errc::illegal_byte_sequence},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "", std::errc::illegal_byte_sequence},
      {"truncated at the end", "<root>\xE6\xA0", "", std::errc::illegal_byte_sequence},
      {"lone continuation", "\x80", "", std::errc::illegal_byte_sequence},
  };
  ASSERT_EQ(::mkfifo((dir.dir() + "/pipe").c_str(), 0600), 0);
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "kept");
  log.clear();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempFile file(c.bytes);
    const std::string path = c.path.empty() ? file.path() : c.path;
    try {
      engine.create_tree_from_file(path, "new");
      ADD_FAILURE() << "expected TreeFileError";
    } catch (const TreeFileError& e) {
      EXPECT_EQ(e.system_code(), std::make_error_code(c.code));
      EXPECT_NE(std::string(e.what()).find("'" + path + "'"), std::string::npos) << e.what();
    }
    EXPECT_EQ(engine.get_tree_ids(), (Strings{"kept"}));
  }
  EXPECT_TRUE(log.lines().empty());
  engine.tick_once("kept");
  EXPECT_EQ(world->made, 1);
}

TEST_F(CreationTest, InvalidUtf8MessageNamesTheByteAndItsOffset) {
  TempFile file("ab\xFE");
  ThreadEngine engine(world->options());
  try {
    engine.create_tree_from_file(file.path());
    FAIL() << "expected TreeFileError";
  } catch (const TreeFileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "tree file '" + file.path() + "' is not valid UTF-8 (byte 0xfe at offset 2)", 0),
              0u)
        << e.what();
  }
}

TEST_F(CreationTest, TreeIdsAreACopyInCreationOrderWithoutStoppedTrees) {
  ThreadEngine engine(world->options());
  for (const char* id : {"c", "a", "b", "d"}) engine.create_tree_from_text("X", std::string(id));
  Strings before = engine.get_tree_ids();
  engine.stop_tree("a");
  engine.create_tree_from_text("X", "a");
  EXPECT_EQ(before, (Strings{"c", "a", "b", "d"}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"c", "b", "d", "a"}));
}

TEST_F(CreationTest, WorkerThreadThatCannotStartWithdrawsTheTreeAndPassesTheErrorOn) {
  std::atomic<bool> fail{true};
  auto opts = world->options();
  opts.start_thread = [&fail](std::function<void()> body) {
    if (fail)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no threads left");
    return std::thread(std::move(body));
  };
  ThreadEngine engine(opts);
  fail = false;
  engine.create_tree_from_text("A", "before");
  fail = true;
  log.clear();
  try {
    engine.create_tree_from_text("B", "t");
    FAIL() << "expected the start error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::resource_unavailable_try_again);
    EXPECT_NE(std::string(e.what()).find("no threads left"), std::string::npos);
  }
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"before"}));
  EXPECT_TRUE(log.lines().empty()) << "nothing is logged as created";
  EXPECT_THROW(engine.tick_once("t"), ValueError);

  fail = false;
  EXPECT_EQ(engine.create_tree_from_text("B", "t"), "t") << "the id is free again";
  EXPECT_EQ(engine.tick_once("t"), NodeStatus::SUCCESS);
}

TEST_F(CreationTest, StartThatReturnsNoThreadIsAFailedStart) {
  auto opts = world->options();
  opts.start_thread = [](std::function<void()>) { return std::thread(); };
  ThreadEngine engine(opts);
  try {
    engine.create_tree_from_text("A", "t");
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "行为树 t 的工作线程未能启动");
  }
  EXPECT_TRUE(engine.get_tree_ids().empty());
}

}  // namespace
}  // namespace kelmora::testing
