// Long actions on the thread engine: a tick loop whose action is RUNNING waits between ticks,
// wakes for a wake-up (from a node or the application), and ends with the action halted — on the
// tree's worker — when the tree is stopped, all trees are stopped, the engine is destroyed, or
// the caller cancels the loop; the tree's tick period is set per engine and per tree.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <kelmora/nodes/coroutine_action.hpp>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "engine/trigger/engine_state.hpp"
#include "engine/trigger/host_protocol.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using namespace std::chrono_literals;
using core::NodeStatus;
using engine::trigger::EngineOptions;
using engine::trigger::ThreadEngine;

// What happened to the runs of the "Long" action of one test: where each tick and each halt ran.
struct Runs {
  std::mutex mutex;
  std::vector<std::thread::id> tick_threads;
  std::vector<std::thread::id> halt_threads;
  int ticks = 0;

  int halts() {
    std::lock_guard lock(mutex);
    return static_cast<int>(halt_threads.size());
  }
  int started() {
    std::lock_guard lock(mutex);
    return ticks;
  }
};

struct HaltNote {
  Runs& runs;
  ~HaltNote() {
    std::lock_guard lock(runs.mutex);
    runs.halt_threads.push_back(std::this_thread::get_id());
  }
};

// "Long": a coroutine action RUNNING until it is halted; its frame's end is noted as a halt
// (the only way it ends).
void install_long(ThreadEngine& engine, Runs& runs) {
  engine.register_action_behavior("Long",
                                  coroutine_action([&runs](core::TreeNode&) -> ActionCoroutine {
                                    HaltNote note{runs};
                                    for (;;) {
                                      {
                                        std::lock_guard lock(runs.mutex);
                                        ++runs.ticks;
                                        runs.tick_threads.push_back(std::this_thread::get_id());
                                      }
                                      co_await running();
                                    }
                                  }),
                                  {});
}

const std::string kLongTree =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Long/></BehaviorTree></root>)";

enum class Ending { kStopTree, kStopAll, kDestroy };

class LongActionStopTest : public ::testing::TestWithParam<Ending> {};

// The halt runs on the worker (where the ticks ran) and is over when the stop returns; the caller
// of the loop gets the stopped loop's failure.
TEST_P(LongActionStopTest, AStopHaltsTheRunningActionOnItsWorkerBeforeItReturns) {
  Runs runs;
  LogCapture log;
  auto engine = std::make_unique<ThreadEngine>(EngineOptions{.tick_period = std::chrono::hours(1)});
  install_long(*engine, runs);
  engine->create_tree_from_text(kLongTree, "t");
  auto loop = std::async(std::launch::async,
                         [&] { return error_of([&] { engine->tick_until_success("t"); }); });
  eventually([&] { return runs.started() >= 1; });
  switch (GetParam()) {
    case Ending::kStopTree:
      engine->stop_tree("t");
      break;
    case Ending::kStopAll:
      engine->stop_all_trees();
      break;
    case Ending::kDestroy:
      break;  // below, once the loop has its answer
  }
  if (GetParam() != Ending::kDestroy) {
    EXPECT_EQ(runs.halts(), 1);
    EXPECT_EQ(loop.get(),
              "行为树 t 执行命令 tick_until_success 失败: 处理命令 tick_until_success 时发生错误: "
              "tree was stopped while ticking");
  }
  engine.reset();
  if (GetParam() == Ending::kDestroy) {
    EXPECT_EQ(runs.halts(), 1);
    EXPECT_NE(loop.get(), "(no error)");
  }
  std::lock_guard lock(runs.mutex);
  ASSERT_EQ(runs.halt_threads.size(), 1u);
  EXPECT_EQ(runs.halt_threads[0], runs.tick_threads.at(0));
  EXPECT_EQ(runs.ticks, 1);  // one tick, then a wait the stop ended: no busy loop
}

INSTANTIATE_TEST_SUITE_P(Endings, LongActionStopTest,
                         ::testing::Values(Ending::kStopTree, Ending::kStopAll, Ending::kDestroy),
                         [](const auto& param_info) {
                           switch (param_info.param) {
                             case Ending::kStopTree:
                               return std::string("StopTree");
                             case Ending::kStopAll:
                               return std::string("StopAll");
                             case Ending::kDestroy:
                               return std::string("Destroy");
                           }
                           return std::string();
                         });

TEST(LongActionTest, AnIdleTreeWithARunningActionIsHaltedWhenItsEngineEnds) {
  Runs runs;
  {
    ThreadEngine engine;
    install_long(engine, runs);
    engine.create_tree_from_text(kLongTree, "t");
    EXPECT_EQ(engine.tick_once("t"), NodeStatus::RUNNING);
    EXPECT_EQ(runs.halts(), 0);
  }
  EXPECT_EQ(runs.halts(), 1);
}

TEST(LongActionTest, ACancelledLoopHaltsTheTreeWhichStaysUsable) {
  Runs runs;
  LogCapture log;
  ThreadEngine engine(EngineOptions{.tick_period = std::chrono::hours(1)});
  install_long(engine, runs);
  engine.create_tree_from_text(kLongTree, "t");
  std::stop_source cancel;
  auto loop = std::async(std::launch::async, [&] {
    return error_of([&] { engine.tick_until_success("t", cancel.get_token()); });
  });
  eventually([&] { return runs.started() >= 1; });
  cancel.request_stop();
  EXPECT_EQ(loop.get(),
            "行为树 t 执行命令 tick_until_success 失败: 处理命令 tick_until_success 时发生错误: "
            "tick loop was cancelled");
  EXPECT_EQ(runs.halts(), 1);
  EXPECT_EQ(engine.tick_n_times("t", 2),
            (std::vector<NodeStatus>{NodeStatus::RUNNING, NodeStatus::RUNNING}));
  EXPECT_EQ(engine.get_tree_ids(), (std::vector<std::string>{"t"}));
}

// The application's wake-up ends the wait of a loop whose period is endless.
TEST(LongActionTest, TheApplicationsWakeUpMakesTheLoopTickAgain) {
  LogCapture log;
  ThreadEngine engine(EngineOptions{.tick_period = std::chrono::hours(1)});
  std::atomic<int> ticks{0};
  engine.register_action_behavior(
      "Act",
      [&](core::TreeNode&) { return ++ticks < 4 ? NodeStatus::RUNNING : NodeStatus::SUCCESS; }, {});
  engine.create_tree_from_text(act_tree("a"), "a");
  auto loop = std::async(std::launch::async, [&] { return engine.tick_until_success("a"); });
  for (int seen = 1; seen < 4; ++seen) {
    eventually([&] { return ticks.load() >= seen; });
    engine.emit_wake_up_signal("a");
  }
  EXPECT_EQ(loop.get(), 4);
  EXPECT_EQ(error_of([&] { engine.emit_wake_up_signal("nope"); }), "行为树ID nope 不存在");
}

TEST(LongActionTest, TickPeriodPerEngineAndPerTree) {
  LogCapture log;
  EXPECT_THROW(ThreadEngine(EngineOptions{.tick_period = -1ms}), ValueError);
  ThreadEngine engine(EngineOptions{.tick_period = std::chrono::hours(1)});
  std::atomic<int> ticks{0};
  engine.register_action_behavior(
      "Act",
      [&](core::TreeNode&) { return ++ticks % 3 ? NodeStatus::RUNNING : NodeStatus::SUCCESS; }, {});
  engine.create_tree_from_text(act_tree("a"), "a");
  EXPECT_THROW(engine.set_tick_period("a", -1ns), ValueError);
  engine.set_tick_period("a", 1ms);  // without it the loop would wait an hour
  EXPECT_EQ(engine.tick_until_success("a"), 3);
  EXPECT_EQ(error_of([&] { engine.set_tick_period("nope", 1ms); }), "行为树ID nope 不存在");
}

// A caller's poll: one that says so while the tree's loop runs cancels that loop (the tree is
// halted and stays usable) and the call ends with InterruptedCommand, nothing logged as failed;
// one that says so while another caller holds the tree leaves without running its command.
TEST(LongActionTest, ACallersPollInterruptsItsLoopOrItsWaitForTheTurn) {
  Runs runs;
  LogCapture log;
  ThreadEngine engine(EngineOptions{.tick_period = std::chrono::hours(1)});
  install_long(engine, runs);
  engine.create_tree_from_text(kLongTree, "t");

  std::atomic<bool> interrupt{false};
  engine::trigger::details::Mailbox::CallerPoll poll;
  poll.every = 1ms;
  poll.interrupted = [&] { return interrupt.load(); };
  auto loop = std::async(std::launch::async, [&] {
    try {
      engine::trigger::host::send_command(engine, "t", "tick_until_success", std::nullopt, &poll);
      return std::string("(no error)");
    } catch (const engine::trigger::details::InterruptedCommand&) {
      return std::string("interrupted");
    }
  });
  eventually([&] { return runs.started() >= 1; });

  // A second caller waits for its turn; its poll says so: it leaves, its command never ran.
  std::atomic<bool> second_interrupt{false};
  engine::trigger::details::Mailbox::CallerPoll second;
  second.every = 1ms;
  second.interrupted = [&] { return second_interrupt.load(); };
  auto waiting = std::async(std::launch::async, [&] {
    try {
      engine::trigger::host::send_command(engine, "t", "reset", std::nullopt, &second);
      return std::string("(no error)");
    } catch (const engine::trigger::details::InterruptedCommand&) {
      return std::string("interrupted");
    }
  });
  std::this_thread::sleep_for(20ms);  // let it queue (either way it must not run)
  second_interrupt = true;
  EXPECT_EQ(waiting.get(), "interrupted");

  interrupt = true;
  EXPECT_EQ(loop.get(), "interrupted");
  EXPECT_EQ(runs.halts(), 1);
  EXPECT_EQ(engine.tick_once("t"), NodeStatus::RUNNING);  // usable, started again
  for (const auto& line : log.lines()) EXPECT_EQ(line.text.find("失败"), std::string::npos);
}

// A stateful action class: onHalted runs once, on the worker, when a stop ends its tick loop.
struct HaltLog {
  std::mutex mutex;
  std::vector<std::thread::id> starts;
  std::vector<std::thread::id> halts;
};
HaltLog* g_halt_log = nullptr;

class Forever : public nodes::StatefulActionNode {
 public:
  using StatefulActionNode::StatefulActionNode;

 protected:
  NodeStatus onStart() override {
    std::lock_guard lock(g_halt_log->mutex);
    g_halt_log->starts.push_back(std::this_thread::get_id());
    return NodeStatus::RUNNING;
  }
  NodeStatus onRunning() override { return NodeStatus::RUNNING; }
  void onHalted() override {
    std::lock_guard lock(g_halt_log->mutex);
    g_halt_log->halts.push_back(std::this_thread::get_id());
  }
};

TEST(LongActionTest, StopTreeRunsAStatefulActionsOnHaltedOnceOnTheWorker) {
  HaltLog halt_log;
  g_halt_log = &halt_log;
  LogCapture log;
  ThreadEngine engine(EngineOptions{.tick_period = std::chrono::hours(1)});
  engine.register_node_class<Forever>();
  engine.create_tree_from_text(
      R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Forever/></BehaviorTree></root>)", "t");
  auto loop = std::async(std::launch::async,
                         [&] { return error_of([&] { engine.tick_until_success("t"); }); });
  eventually([&] {
    std::lock_guard lock(halt_log.mutex);
    return !halt_log.starts.empty();
  });
  engine.stop_tree("t");
  {
    std::lock_guard lock(halt_log.mutex);
    ASSERT_EQ(halt_log.halts.size(), 1u);
    EXPECT_EQ(halt_log.halts[0], halt_log.starts.at(0));
  }
  EXPECT_NE(loop.get().find("tree was stopped while ticking"), std::string::npos);
  g_halt_log = nullptr;
}

}  // namespace
}  // namespace kelmora::testing
