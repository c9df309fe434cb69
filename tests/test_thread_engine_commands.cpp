// The tree operations of ThreadEngine on real trees: results, errors, their codes and causes.

#include <gtest/gtest.h>

#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <thread>

#include "engine/trigger/host_protocol.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"
#include "support/nested_error.hpp"

namespace kelmora::testing {
namespace {

using core::AnyMap;
using core::NodeStatus;
using core::TreeNode;
using engine::SequentialEngine;
using engine::trigger::ThreadEngine;
namespace host = engine::trigger::host;
using Strings = std::vector<std::string>;
using Op = std::function<void(ThreadEngine&, const std::string&)>;

const char* const kUnbuildable =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Nope/></BehaviorTree></root>)";

// Every operation that names a tree, by name, for table-driven tests.
const std::vector<std::pair<std::string, Op>>& all_operations() {
  static const std::vector<std::pair<std::string, Op>> ops = {
      {"tick_once", [](ThreadEngine& e, const std::string& id) { e.tick_once(id); }},
      {"tick_until_failure",
       [](ThreadEngine& e, const std::string& id) { e.tick_until_failure(id); }},
      {"tick_until_success",
       [](ThreadEngine& e, const std::string& id) { e.tick_until_success(id); }},
      {"tick_n_times", [](ThreadEngine& e, const std::string& id) { e.tick_n_times(id, 2); }},
      {"get_tree_status", [](ThreadEngine& e, const std::string& id) { e.get_tree_status(id); }},
      {"get_blackboard_data",
       [](ThreadEngine& e, const std::string& id) { e.get_blackboard_data(id, "k"); }},
      {"set_blackboard_data",
       [](ThreadEngine& e, const std::string& id) { e.set_blackboard_data(id, "k", 1); }},
      {"get_all_blackboard_data",
       [](ThreadEngine& e, const std::string& id) { e.get_all_blackboard_data(id); }},
      {"reset_tree", [](ThreadEngine& e, const std::string& id) { e.reset_tree(id); }},
      {"stop_tree", [](ThreadEngine& e, const std::string& id) { e.stop_tree(id); }},
      {"host send_command",
       [](ThreadEngine& e, const std::string& id) { host::send_command(e, id, "tick_once"); }},
      {"host check_tree_exists",
       [](ThreadEngine& e, const std::string& id) { host::check_tree_exists(e, id); }},
  };
  return ops;
}

// An exception of a user's own, with data of its own.
struct DiskFull : std::runtime_error {
  DiskFull(std::string d, int free)
      : std::runtime_error("disk full"), disk(std::move(d)), bytes(free) {}
  std::string disk;
  int bytes;
};

class CommandTest : public ::testing::Test {
 protected:
  Script script;
  LogCapture log;
};

TEST_F(CommandTest, UnknownTreeFailsEveryOperationWithoutReachingAWorker) {
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("T"), "there");
  engine.stop_tree("there");
  for (const auto& [name, op] : all_operations()) {
    SCOPED_TRACE(name);
    log.clear();
    for (const std::string id : {"nope", "there"}) {
      try {
        op(engine, id);
        ADD_FAILURE() << "expected ValueError";
      } catch (const ValueError& e) {
        EXPECT_EQ(e.what(), "行为树ID " + id + " 不存在");
        EXPECT_EQ(e.code(), Errc::value_error);
      }
    }
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", "行为树ID nope 不存在"},
                                                 {"error", "行为树ID there 不存在"}}));
  }
  EXPECT_TRUE(script.journal().empty());
}

TEST_F(CommandTest, OperationsReturnWhatTheTreesSequentialEngineReturns) {
  // Every third tick fails, so both tick loops end; the same tree in a SequentialEngine on this
  // thread gives the expected results.
  int ticks = 0;
  script.on_tick = [&ticks](TreeNode&) {
    return ++ticks % 3 == 0 ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
  };
  SequentialEngine expected;
  expected.register_action_behavior(
      "Act", [&script = script](TreeNode& node) { return script.on_tick(node); }, {});
  expected.create_tree_from_text(act_tree("T"));
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("T"), "t");
  log.clear();

  auto both = [&](auto threaded, auto sequential) {
    ticks = 0;
    auto got = threaded();
    ticks = 0;
    EXPECT_EQ(got, sequential());
  };
  both([&] { return engine.tick_once("t"); }, [&] { return expected.tick_once(); });
  both([&] { return engine.tick_until_failure("t"); },
       [&] { return expected.tick_until_failure(); });
  both([&] { return engine.tick_until_success("t"); },
       [&] { return expected.tick_until_success(); });
  for (std::int64_t n : {5, 0, -2}) {
    both([&] { return engine.tick_n_times("t", n); }, [&] { return expected.tick_n_times(n); });
  }
  EXPECT_EQ(core::any_to_text(engine.get_tree_status("t").at("status")),
            core::any_to_text(expected.get_tree_status().at("status")));

  EXPECT_FALSE(engine.get_blackboard_data("t", "k").has_value()) << "never written: none";
  engine.set_blackboard_data("t", "k", std::string("v"));
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("t", "k")), "v");
  engine.set_blackboard_data("t", "n", std::any{});
  const AnyMap all = engine.get_all_blackboard_data("t");
  EXPECT_EQ(all.size(), 2u);
  EXPECT_FALSE(all.at("n").has_value());
  engine.reset_tree("t");
  EXPECT_EQ(std::any_cast<std::int64_t>(engine.get_tree_status("t").at("tick_count")), 0);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("t", "k")), "v")
      << "a reset keeps the blackboard";
  EXPECT_TRUE(log.lines().empty()) << "tree operations log nothing themselves";
}

TEST_F(CommandTest, FailingCommandLogsTwoLinesInOrderNestsTheCauseAndKeepsTheWorkerAlive) {
  int ticks = 0;
  script.on_tick = [&ticks](TreeNode&) -> NodeStatus {
    if (ticks++ == 0) throw DiskFull("/var", 12);
    return NodeStatus::RUNNING;
  };
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("T"), "t");
  log.clear();
  const std::string worker_line = "处理命令 tick_once 时发生错误: node 'T' (Act): disk full";
  const std::string caller_line = "行为树 t 执行命令 tick_once 失败: " + worker_line;
  try {
    engine.tick_once("t");
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.what(), caller_line);
    EXPECT_EQ(e.code(), Errc::command_failed);
    const auto node_error = nested_of<core::NodeTickError>(e);
    ASSERT_TRUE(node_error);
    EXPECT_STREQ(node_error->what(), "node 'T' (Act): disk full");
    const auto cause = nested_of<DiskFull>(e);
    ASSERT_TRUE(cause) << "the tick's own exception, with its type and data";
    EXPECT_EQ(cause->disk, "/var");
    EXPECT_EQ(cause->bytes, 12);
  }
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", worker_line}, {"error", caller_line}}));
  EXPECT_EQ(engine.tick_once("t"), NodeStatus::RUNNING);
}

TEST_F(CommandTest, WorkerThatFailedWhileStartingGivesItsErrorOnceThenFailsPromptly) {
  SequentialEngine sequential;
  const std::string build_error = error_of([&] { sequential.create_tree_from_text(kUnbuildable); });
  ThreadEngine engine;
  engine.create_tree_from_text(kUnbuildable, "t");
  const std::string worker_line = "行为树线程 t 发生错误: " + build_error;
  const std::string first = "行为树 t 执行命令 tick_once 失败: " + worker_line;
  try {
    engine.tick_once("t");
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.what(), first);
    EXPECT_EQ(e.code(), Errc::worker_failed);
    const auto cause = nested_of<core::TreeBuildError>(e);
    ASSERT_TRUE(cause) << "the build error is nested";
    EXPECT_EQ(cause->what(), build_error);
  }
  // The worker fails on its own time, so its line may come before or after the creation's.
  EXPECT_EQ(log.texts("error"), (Strings{worker_line, first}));

  for (const std::string type : {"get_status", "tick_once"}) {
    log.clear();
    const std::string later = "行为树 t 执行命令 " + type + " 失败: 工作线程已结束";
    EXPECT_EQ(error_of([&] { host::send_command(engine, "t", type); }), later);
    EXPECT_EQ(code_of([&] { host::send_command(engine, "t", type); }), Errc::worker_ended);
    EXPECT_EQ(log.texts("error"), (Strings{later, later}));
  }
  EXPECT_EQ(code_of([&] { engine.reset_tree("t"); }), Errc::worker_ended);
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"t"})) << "a failed worker leaves its tree in place";
}

TEST_F(CommandTest, CallerAlreadyWaitingWhenTheWorkerFailsGetsTheWorkersError) {
  Gate start;
  ThreadEngine engine;
  hold_workers(engine, start);
  engine.create_tree_from_text(kUnbuildable, "t");
  std::string error;
  // Whether the caller hands its command over before or after the worker fails, it is the first
  // caller: it gets the failure.
  std::thread caller([&] { error = error_of([&] { engine.get_tree_status("t"); }); });
  start.open();
  caller.join();
  EXPECT_EQ(error.rfind("行为树 t 执行命令 get_status 失败: 行为树线程 t 发生错误: ", 0), 0u)
      << error;
  EXPECT_EQ(error_of([&] { engine.tick_once("t"); }),
            "行为树 t 执行命令 tick_once 失败: 工作线程已结束");
}

TEST_F(CommandTest, CommandsSentWhileTheTreeIsBuiltAreServedOnceItIsBuilt) {
  Gate start;
  ThreadEngine engine;
  script.install(engine);
  hold_workers(engine, start);
  engine.create_tree_from_text(act_tree("T"), "t");
  std::vector<std::thread> callers;
  std::atomic<int> served{0};
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&] {
      if (engine.tick_once("t") == NodeStatus::SUCCESS) ++served;
    });
  }
  EXPECT_TRUE(script.journal().empty()) << "nothing is served before the tree is built";
  start.open();
  for (auto& c : callers) c.join();
  EXPECT_EQ(served, 3);
  EXPECT_EQ(script.journal(), (Strings{"T:tick", "T:tick", "T:tick"}));
}

TEST_F(CommandTest, TickCallingItsOwnTreeFailsButOtherTreesWork) {
  ThreadEngine* self = nullptr;
  std::string own_error;
  Errc own_code{};
  script.on_tick = [&](TreeNode& node) -> NodeStatus {
    if (node.name() != "a") return NodeStatus::FAILURE;
    own_error = error_of([&] { self->get_tree_status("a"); });
    own_code = code_of([&] { self->get_tree_status("a"); });
    own_error += " | " + error_of([&] { self->stop_tree("a"); });
    return self->tick_once("b");  // another tree: served by its own worker
  };
  ThreadEngine engine;
  self = &engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("a"), "a");
  engine.create_tree_from_text(act_tree("b"), "b");
  log.clear();
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::FAILURE);
  const std::string refusal = "行为树 a 的命令不能在它自己的工作线程中调用";
  EXPECT_EQ(own_error, refusal + " | " + refusal);
  EXPECT_EQ(own_code, Errc::own_thread);
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{"error", refusal}, {"error", refusal}, {"error", refusal}}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"a", "b"}));
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::FAILURE) << "the tree is still served";
}

}  // namespace
}  // namespace kelmora::testing
