// The SQLite recorder: what it writes (trees, nodes, every transition), its refusals when the
// file cannot be written, a full disk while recording, and a process killed mid-run.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <kelmora/engine/trigger/mthread.hpp>
#include <string>
#include <vector>

#include "engine/trigger/engine_access.hpp"
#include "observe/recorder.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"

extern char** environ;

namespace kelmora::testing {
namespace {

namespace fs = std::filesystem;
using core::NodeStatus;

// A fresh directory for one test's files, removed afterwards.
class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("kelmora-recorder-" + std::to_string(::getpid()) + "-" + std::to_string(next_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline std::atomic<int> next_{0};
  fs::path path_;
};

// Reads a database with plain SQLite: rows of a query as "a|b|c" lines (NULL as "-").
class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  std::vector<std::string> rows(const std::string& sql) const {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (i > 0) row += '|';
        const auto* text = sqlite3_column_text(stmt, i);
        row += text != nullptr ? reinterpret_cast<const char*>(text) : "-";
      }
      out.push_back(row);
    }
    sqlite3_finalize(stmt);
    return out;
  }
  std::string one(const std::string& sql) const {
    auto all = rows(sql);
    return all.empty() ? "(no row)" : all.front();
  }

 private:
  sqlite3* db_ = nullptr;
};

const std::string kPair = R"(<root BTCPP_format="4"><BehaviorTree ID="Pair"><Sequence name="top">
    <AlwaysSuccess/><Act name="act"/></Sequence></BehaviorTree></root>)";

TEST(RecorderTest, WritesTreesNodesAndEveryTransition) {
  TempDir dir;
  const std::string path = dir.file("run.db");
  {
    ThreadEngine engine;
    Script script;
    int ticks = 0;
    script.on_tick = [&ticks](core::TreeNode&) {
      return ++ticks == 1 ? NodeStatus::RUNNING : NodeStatus::SUCCESS;
    };
    script.install(engine);
    engine.create_tree_from_text(kPair, "early");
    engine.get_tree_status("early");  // built before the recording starts
    engine.start_recording(path);
    engine.create_tree_from_text(kPair, "late");
    engine.get_tree_status("late");  // built while recording
    engine.tick_once("early");  // act RUNNING
    engine.tick_once("early");  // act SUCCESS
    engine.stop_tree("early");
    engine.stop_recording();
  }
  Db db(path);
  EXPECT_EQ(db.rows("SELECT tree_id, main_tree, created_us > 0, stopped_us IS NOT NULL, "
                    "xml LIKE '%<Sequence name=\"top\">%' FROM trees ORDER BY id"),
            (std::vector<std::string>{"early|Pair|1|1|1", "late|Pair|1|0|1"}));
  EXPECT_EQ(db.rows("SELECT node_id, name, registration_id, kind, parent, path FROM nodes "
                    "JOIN trees ON trees.id = nodes.tree WHERE tree_id = 'early' ORDER BY node_id"),
            (std::vector<std::string>{"0|top|Sequence|Control|-|top",
                                      "1|AlwaysSuccess|AlwaysSuccess|Action|0|top/AlwaysSuccess",
                                      "2|act|Act|Action|0|top/act"}));
  EXPECT_EQ(db.rows("SELECT node_id, previous, status, spent_us IS NOT NULL FROM transitions "
                    "ORDER BY rowid"),
            (std::vector<std::string>{"0|IDLE|RUNNING|0", "1|IDLE|SUCCESS|0", "2|IDLE|RUNNING|0",
                                      "2|RUNNING|SUCCESS|1", "1|SUCCESS|IDLE|1", "2|SUCCESS|IDLE|1",
                                      "0|RUNNING|SUCCESS|1"}));
  EXPECT_EQ(db.one("SELECT COUNT(*) FROM transitions WHERE spent_us < 0 OR time_us <= 0"), "0");
}

TEST(RecorderTest, StoppingWritesEveryTransitionQueued) {
  TempDir dir;
  const std::string path = dir.file("busy.db");
  std::atomic<long> observed{0};
  {
    ThreadEngine engine;
    Script script;
    script.install(engine);
    engine.create_tree_from_text(kPair, "a");
    engine.create_tree_from_text(kPair, "b");
    engine.start_recording(path);
    engine.add_transition_observer([&observed](const auto&) { ++observed; });
    std::thread other([&engine] { engine.tick_n_times("b", 3000); });
    engine.tick_n_times("a", 3000);
    other.join();
    engine.stop_recording();
  }
  Db db(path);
  EXPECT_EQ(db.one("SELECT COUNT(*) FROM transitions"), std::to_string(observed.load()));
  EXPECT_EQ(observed.load(), 2 * 3000 * 6);
}

TEST(RecorderTest, FilesThatCannotBeWrittenAreRefusedAtTheStart) {
  TempDir dir;
  {
    std::ofstream junk(dir.file("junk.db"));
    junk << "this is not a database, it is a text file long enough to have a header........"
         << std::string(200, 'x');
  }
  struct Case {
    std::string name;
    std::string path;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"missing directory", dir.file("missing/run.db"), "unable to open database file"},
      {"not a database", dir.file("junk.db"), "file is not a database"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ThreadEngine engine;
    EXPECT_EQ(error_of([&] { engine.start_recording(c.path); }),
              "cannot record to '" + c.path + "': " + c.reason);
    engine.stop_recording();  // nothing to stop
  }
}

TEST(RecorderTest, ALockedFileIsRefusedAndASecondRecordingToo) {
  TempDir dir;
  const std::string path = dir.file("locked.db");
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "CREATE TABLE x (a); BEGIN EXCLUSIVE; INSERT INTO x VALUES (1);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  ThreadEngine engine;
  EXPECT_EQ(error_of([&] { engine.start_recording(path); }),
            "cannot record to '" + path + "': database is locked");
  sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  engine.start_recording(path);
  EXPECT_EQ(error_of([&] { engine.start_recording(dir.file("other.db")); }),
            "already recording to '" + path + "'");
}

TEST(RecorderTest, AFullDiskEndsTheRecordingWithOneLineAndTheTreesGoOn) {
  TempDir dir;
  const std::string path = dir.file("full.db");
  LogCapture log;
  ThreadEngine engine;
  Script script;
  script.install(engine);
  engine.create_tree_from_text(kPair, "a");
  auto& hub = *engine::trigger::details::EngineAccess::state(engine)->hub;
  observe::details::RecorderOptions options;
  options.max_page_count = 40;  // about 160 kB
  auto recorder = std::make_shared<observe::details::Recorder>(path, hub.shapes(), options);
  hub.add(recorder, std::nullopt);
  engine.tick_n_times("a", 10);
  ASSERT_TRUE(wait_until([&] { return Db(path).one("SELECT COUNT(*) FROM transitions") == "60"; }));
  for (int i = 0; i < 200; ++i) engine.tick_n_times("a", 100);  // far beyond 160 kB
  const std::string line_start = "recording to '" + path + "' stopped: database or disk is full";
  ASSERT_TRUE(wait_until([&] {
    for (const auto& text : log.texts("error")) {
      if (text.rfind(line_start, 0) == 0) return true;
    }
    return false;
  }));
  for (int i = 0; i < 20; ++i) engine.tick_n_times("a", 100);
  EXPECT_EQ(engine.tick_n_times("a", 3).size(), 3u);  // the tree goes on
  recorder->stop();
  EXPECT_EQ(log.texts("error").size(), 1u);
  Db db(path);
  EXPECT_EQ(db.one("PRAGMA integrity_check"), "ok");
  EXPECT_GE(std::stol(db.one("SELECT COUNT(*) FROM transitions")), 60);
}

// The rows of transitions whose `previous` is not the status of the node's row before: none when
// every committed row is there, in order.
constexpr const char* kBrokenChains = R"sql(
  SELECT COUNT(*) FROM (
    SELECT previous, LAG(status) OVER (PARTITION BY tree, node_id ORDER BY rowid) AS before
    FROM transitions)
  WHERE before IS NOT NULL AND before != previous)sql";

TEST(RecorderTest, AProcessKilledMidRunLeavesEveryCommittedBatchIntact) {
  TempDir dir;
  const std::string path = dir.file("killed.db");
  const std::string program = KELMORA_RECORD_CHILD;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(path.c_str()), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ), 0);
  auto count = [&path] {
    if (!fs::exists(path)) return 0L;
    Db db(path);
    // The child may not have created its tables yet.
    if (db.one("SELECT COUNT(*) FROM sqlite_master WHERE name = 'transitions'") != "1") return 0L;
    const std::string n = db.one("SELECT COUNT(*) FROM transitions");
    return n == "(no row)" ? 0L : std::stol(n);
  };
  long first = 0;
  const bool started = wait_until([&] { return (first = count()) > 1000; });
  const bool going = started && wait_until([&] { return count() > first; });  // mid-run
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(started && going);
  EXPECT_TRUE(WIFSIGNALED(status));
  Db db(path);
  EXPECT_EQ(db.one("PRAGMA integrity_check"), "ok");
  EXPECT_GE(count(), first);
  EXPECT_EQ(db.one(kBrokenChains), "0");
  EXPECT_EQ(db.one("SELECT COUNT(*) FROM transitions t LEFT JOIN nodes n ON n.tree = t.tree AND "
                   "n.node_id = t.node_id WHERE n.name IS NULL"),
            "0");
  EXPECT_EQ(db.one("SELECT COUNT(*) FROM trees"), "3");
}

}  // namespace
}  // namespace kelmora::testing
