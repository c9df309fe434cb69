// Tree creation from text and files, tree ids, and workers that cannot be started.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <kelmora/engine/trigger/mthread.hpp>

#include "engine/trigger/engine_access.hpp"
#include "stress/process_stats.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using core::TreeFileError;
using engine::trigger::ThreadEngine;
using engine::trigger::TreeInfo;
using engine::trigger::details::EngineAccess;
using Strings = std::vector<std::string>;

const char* const kOneNode =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>)";

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

class CreationTest : public ::testing::Test {
 protected:
  ThreadBaseline baseline;  // before any engine of the test starts a thread
  Script script;
  LogCapture log;
};

TEST_F(CreationTest, GeneratedIdsCountTheTreesPresent) {
  ThreadEngine engine;
  log.clear();
  EXPECT_EQ(engine.create_tree_from_text(kOneNode), "tree_0");
  EXPECT_EQ(engine.create_tree_from_text(kOneNode), "tree_1");
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"tree_0", "tree_1"}));
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{"info", "创建行为树: tree_0"}, {"info", "创建行为树: tree_1"}}));
}

TEST_F(CreationTest, IdsGivenByTheCallerCountToo) {
  ThreadEngine engine;
  engine.create_tree_from_text(kOneNode, "tree0");
  engine.create_tree_from_text(kOneNode, "tree1");
  EXPECT_EQ(engine.create_tree_from_text(kOneNode), "tree_2");
  EXPECT_EQ(engine.create_tree_from_text(kOneNode, ""), "") << "any string is an id";
  EXPECT_EQ(engine.create_tree_from_text(kOneNode, "树"), "树");
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
  Script script;
  LogCapture log;
  ThreadEngine engine;
  script.install(engine);
  for (const auto& step : c.steps) {
    if (step[0] == '+') {
      engine.create_tree_from_text(act_tree("X"),
                                   step.size() > 1 ? std::optional(step.substr(1)) : std::nullopt);
    } else {
      engine.stop_tree(step.substr(1));
    }
  }
  log.clear();
  EXPECT_EQ(engine.create_tree_from_text(act_tree("N")), c.generated);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "创建行为树: " + c.generated}}));
  EXPECT_EQ(engine.get_tree_ids(), c.ids_after);
  EXPECT_EQ(engine.tick_once(c.generated), NodeStatus::SUCCESS);
  EXPECT_EQ(script.journal(), (Strings{"N:tick"}));
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
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("A"), "x");
  engine.set_blackboard_data("x", "k", std::string("kept"));
  log.clear();
  EXPECT_THROW(engine.create_tree_from_text(act_tree("Z"), "x"), ValueError);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", "行为树ID x 已存在"}}));
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("x", "k")), "kept");
  engine.tick_once("x");
  EXPECT_EQ(script.journal(), (Strings{"A:tick"}));
  EXPECT_EQ(baseline.new_threads().size(), 1u) << "no second worker was started";
  EXPECT_EQ(engine.trees().at(0).xml_text, act_tree("A"));
}

TEST_F(CreationTest, StoppedIdCanBeCreatedAgainWithAFreshTree) {
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("A"));
  engine.set_blackboard_data("tree_0", "k", 1);
  engine.stop_tree("tree_0");
  EXPECT_EQ(engine.create_tree_from_text(act_tree("B"), "tree_0"), "tree_0");
  EXPECT_FALSE(engine.get_blackboard_data("tree_0", "k").has_value());
  engine.tick_once("tree_0");
  EXPECT_EQ(script.journal(), (Strings{"B:tick"}));
}

TEST_F(CreationTest, TreeThatCannotBeBuiltIsStillCreated) {
  ThreadEngine engine;
  log.clear();
  EXPECT_EQ(engine.create_tree_from_text("<root>"), "tree_0");
  EXPECT_EQ(log.count("info", "创建行为树: tree_0"), 1u);
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"tree_0"}));
}

TEST_F(CreationTest, TreesHoldEachTreesIdTextFileAndCreationTimeInCreationOrder) {
  TempFile file("\xEF\xBB\xBF" + std::string(kOneNode) + "\r\n");
  ThreadEngine engine;
  const auto before = std::chrono::system_clock::now();
  engine.create_tree_from_text(act_tree("A"), "text");
  engine.create_tree_from_file(file.path(), "file");
  engine.create_tree_from_text(kOneNode, "gone");
  engine.stop_tree("gone");
  const auto after = std::chrono::system_clock::now();
  const std::vector<TreeInfo> trees = engine.trees();
  ASSERT_EQ(trees.size(), 2u);
  EXPECT_EQ(trees[0].tree_id, "text");
  EXPECT_EQ(trees[0].xml_text, act_tree("A"));
  EXPECT_EQ(trees[0].file_path, std::nullopt);
  EXPECT_EQ(trees[1].tree_id, "file");
  EXPECT_EQ(trees[1].xml_text, "\xEF\xBB\xBF" + std::string(kOneNode) + "\n")
      << "the text as read: line ends normalised, byte-order mark kept";
  EXPECT_EQ(trees[1].file_path, file.path());
  for (const auto& tree : trees) {
    EXPECT_LE(before, tree.created_at);
    EXPECT_LE(tree.created_at, after);
  }
  EXPECT_LE(trees[0].created_at, trees[1].created_at);
}

TEST_F(CreationTest, FileTextIsBuiltWithLineEndsNormalisedAndBomKept) {
  ThreadEngine engine;
  script.install(engine);
  TempFile file(
      "\xEF\xBB\xBF<root BTCPP_format=\"4\">\r\n<BehaviorTree ID=\"T\">\r<Act name=\"F\"/>"
      "\n\r\n</BehaviorTree></root>");
  EXPECT_EQ(engine.create_tree_from_file(file.path(), "F"), "F");
  EXPECT_EQ(engine.tick_once("F"), NodeStatus::SUCCESS);
  EXPECT_EQ(script.journal(), (Strings{"F:tick"}));
  EXPECT_EQ(engine.trees().at(0).xml_text,
            "\xEF\xBB\xBF<root BTCPP_format=\"4\">\n<BehaviorTree ID=\"T\">\n<Act name=\"F\"/>\n\n"
            "</BehaviorTree></root>");
}

TEST_F(CreationTest, FileAndTextGiveTheSameTreeAndLogLines) {
  const std::string xml = act_tree("树 \xF0\x9F\x8C\xB3");
  TempFile file(xml);
  std::vector<LogLine> from_text;
  {
    ThreadEngine engine;
    script.install(engine);
    engine.create_tree_from_text(xml, "t");
    engine.tick_once("t");
    EXPECT_EQ(engine.trees().at(0).xml_text, xml);
    from_text = log.lines();
  }
  log.clear();
  {
    ThreadEngine engine;
    script.install(engine);
    engine.create_tree_from_file(file.path(), "t");
    engine.tick_once("t");
    EXPECT_EQ(engine.trees().at(0).xml_text, xml);
    EXPECT_EQ(log.lines(), from_text);
  }
  EXPECT_EQ(script.journal(), (Strings{"树 \xF0\x9F\x8C\xB3:tick", "树 \xF0\x9F\x8C\xB3:tick"}));
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
  ThreadEngine engine;
  engine.create_tree_from_text(kOneNode, "kept");
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
  EXPECT_EQ(baseline.new_threads().size(), 1u) << "no worker was started for a file not read";
}

TEST_F(CreationTest, InvalidUtf8MessageNamesTheByteAndItsOffset) {
  TempFile file("ab\xFE");
  ThreadEngine engine;
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
  ThreadEngine engine;
  for (const char* id : {"c", "a", "b", "d"})
    engine.create_tree_from_text(kOneNode, std::string(id));
  Strings before = engine.get_tree_ids();
  engine.stop_tree("a");
  engine.create_tree_from_text(kOneNode, "a");
  EXPECT_EQ(before, (Strings{"c", "a", "b", "d"}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"c", "b", "d", "a"}));
  Strings listed;
  for (const auto& tree : engine.trees()) listed.push_back(tree.tree_id);
  EXPECT_EQ(listed, engine.get_tree_ids());
}

TEST_F(CreationTest, WorkerThreadThatCannotStartWithdrawsTheTreeAndPassesTheErrorOn) {
  std::atomic<bool> fail{true};
  ThreadEngine engine;
  EngineAccess::set_start_thread(engine, [&fail](std::function<void()> body) {
    if (fail)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no threads left");
    return std::thread(std::move(body));
  });
  fail = false;
  engine.create_tree_from_text(kOneNode, "before");
  fail = true;
  log.clear();
  try {
    engine.create_tree_from_text(kOneNode, "t");
    FAIL() << "expected the start error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::resource_unavailable_try_again);
    EXPECT_NE(std::string(e.what()).find("no threads left"), std::string::npos);
  }
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"before"}));
  EXPECT_TRUE(log.lines().empty()) << "nothing is logged as created";
  EXPECT_THROW(engine.tick_once("t"), ValueError);

  fail = false;
  EXPECT_EQ(engine.create_tree_from_text(kOneNode, "t"), "t") << "the id is free again";
  EXPECT_EQ(engine.tick_once("t"), NodeStatus::SUCCESS);
}

TEST_F(CreationTest, CallersOfATreeWhoseThreadCannotStartFindItGone) {
  // The tree is listed while its thread is being started: a command sent then waits, and finds
  // the tree gone once the start has failed; so does a stop.
  Gate starting, fail;
  ThreadEngine engine;
  EngineAccess::set_start_thread(engine, [&](std::function<void()>) -> std::thread {
    starting.open();
    fail.wait();
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "no threads left");
  });
  auto creation = std::async(std::launch::async, [&] {
    return error_of([&] { engine.create_tree_from_text(kOneNode, "t"); });
  });
  starting.wait();
  auto command =
      std::async(std::launch::async, [&] { return error_of([&] { engine.tick_once("t"); }); });
  auto stop =
      std::async(std::launch::async, [&] { return error_of([&] { engine.stop_tree("t"); }); });
  fail.open();
  EXPECT_NE(creation.get().find("no threads left"), std::string::npos);
  EXPECT_EQ(command.get(), "行为树ID t 不存在");
  EXPECT_EQ(stop.get(), "行为树ID t 不存在");
  EXPECT_TRUE(engine.get_tree_ids().empty());
}

TEST_F(CreationTest, StartThatReturnsNoThreadIsAFailedStart) {
  ThreadEngine engine;
  EngineAccess::set_start_thread(engine, [](std::function<void()>) { return std::thread(); });
  try {
    engine.create_tree_from_text(kOneNode, "t");
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "行为树 t 的工作线程未能启动");
  }
  EXPECT_TRUE(engine.get_tree_ids().empty());
}

}  // namespace
}  // namespace kelmora::testing
