// Actions that run across ticks on the sequential engine: runs handed to a node (ActionRun),
// coroutine actions, the halts that reach them, and the tick loops' waits between RUNNING ticks
// (wake-ups, the tick period, timers, cancel and interruption).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/wake_up_signal.hpp>
#include <kelmora/nodes/coroutine_action.hpp>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core_test_helpers.hpp"
#include "support/wait.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;
using namespace std::chrono_literals;

using core::NodeStatus;

// Counts what happens to the coroutine frames of one test: how many were made, how many
// destroyed (a local of the frame notes its own destruction).
struct FrameLog {
  // Atomic: a test's other thread may watch them while the tree ticks.
  std::atomic<int> made{0};
  std::atomic<int> destroyed{0};
  std::vector<std::string> steps;
};

struct FrameGuard {
  FrameLog& log;
  explicit FrameGuard(FrameLog& l) : log(l) { ++log.made; }
  ~FrameGuard() { ++log.destroyed; }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;
};

// A coroutine action that is RUNNING for `rounds` ticks and then returns `last`, noting each
// step under the node's name.
CoroutineTick counting(FrameLog& log, int rounds, NodeStatus last) {
  return [&log, rounds, last](core::TreeNode& node) -> ActionCoroutine {
    FrameGuard guard(log);
    for (int i = 0; i < rounds; ++i) {
      log.steps.push_back(node.name() + ":" + std::to_string(i));
      co_await running();
    }
    log.steps.push_back(node.name() + ":end");
    co_return last;
  };
}

TEST(CoroutineActionTest, RunsAcrossTicksAndEndsWithItsStatus) {
  struct Case {
    int rounds;
    NodeStatus last;
    std::vector<NodeStatus> ticks;
  };
  const std::vector<Case> cases = {
      {0, S, {S, S}},
      {0, F, {F}},
      {2, S, {R, R, S, R}},  // a new run after the end
      {1, F, {R, F, R, F}},
  };
  for (const auto& c : cases) {
    FrameLog log;
    engine::SequentialEngine engine;
    engine.register_action_behavior("Co", coroutine_action(counting(log, c.rounds, c.last)), {});
    engine.create_tree_from_text(main_tree(R"(<Co name="c"/>)"));
    std::vector<NodeStatus> got;
    for (std::size_t i = 0; i < c.ticks.size(); ++i) got.push_back(engine.tick_once());
    EXPECT_EQ(got, c.ticks) << c.rounds;
    const bool running = engine.tick_once() == R;
    EXPECT_EQ(log.made.load() - log.destroyed.load(), running ? 1 : 0) << c.rounds;
  }
}

TEST(CoroutineActionTest, ReadsAndWritesPortsAcrossTicks) {
  FrameLog log;
  engine::SequentialEngine engine;
  engine.register_action_behavior(
      "Echo", coroutine_action([](core::TreeNode& node) -> ActionCoroutine {
        const std::string first = node.getInputString("in");
        co_await running();
        node.setOutput("out", first + "+" + node.getInputString("in"));
        co_return S;
      }),
      {core::make_port("in", "string", "input"), core::make_port("out", "object", "output")});
  engine.create_tree_from_text(main_tree(R"(<Echo in="{x}" out="{y}"/>)"));
  engine.set_blackboard_data("x", std::string("a"));
  EXPECT_EQ(engine.tick_once(), R);
  engine.set_blackboard_data("x", std::string("b"));
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("y")), "a+b");
}

// Every way a RUNNING coroutine action is halted destroys its frame once, on the ticking thread.
TEST(CoroutineActionTest, EveryHaltDestroysTheFrameOnce) {
  struct Case {
    std::string name;
    std::string body;
    std::function<void(engine::SequentialEngine&)> halt;
  };
  const std::vector<Case> cases = {
      {"reset", R"(<Co name="c"/>)", [](auto& e) { e.reset_tree(); }},
      {"halt_tree", R"(<Co name="c"/>)", [](auto& e) { e.halt_tree(); }},
      {"new tree", R"(<Co name="c"/>)",
       [](auto& e) { e.create_tree_from_text(main_tree("<AlwaysSuccess/>")); }},
      {"reactive pre-emption", R"(<ReactiveSequence><Flip/><Co name="c"/></ReactiveSequence>)",
       [](auto& e) { EXPECT_EQ(e.tick_once(), F); }},
      {"failure elsewhere", R"(<Parallel success_count="2" failure_count="1"><Co name="c"/>
                                 <Later/></Parallel>)",
       [](auto& e) { EXPECT_EQ(e.tick_once(), F); }},
      {"tick that threw", R"(<Parallel success_count="2" failure_count="2"><Co name="c"/>
                               <Boom/></Parallel>)",
       [](auto& e) { EXPECT_THROW(e.tick_once(), core::NodeTickError); }},
  };
  for (const auto& c : cases) {
    FrameLog log;
    {
      engine::SequentialEngine engine;
      int flips = 0;
      int booms = 0;
      engine.register_action_behavior("Co", coroutine_action(counting(log, 100, S)), {});
      int laters = 0;
      engine.register_action_behavior("Flip", [&](core::TreeNode&) { return ++flips > 1 ? F : S; },
                                      {});
      engine.register_action_behavior("Later",
                                      [&](core::TreeNode&) { return ++laters > 1 ? F : R; }, {});
      engine.register_action_behavior("Boom",
                                      [&](core::TreeNode&) -> NodeStatus {
                                        if (++booms > 1) throw std::runtime_error("boom");
                                        return R;
                                      },
                                      {});
      engine.create_tree_from_text(main_tree(c.body));
      ASSERT_EQ(engine.tick_once(), R) << c.name;
      ASSERT_EQ(log.made.load(), 1) << c.name;
      c.halt(engine);
      EXPECT_EQ(log.destroyed.load(), 1) << c.name;
      EXPECT_NE(log.steps.back(), "c:end") << c.name;  // it never ran to its end
    }
    EXPECT_EQ(log.destroyed.load(), 1) << c.name << ": not again when the engine ends";
  }
}

TEST(CoroutineActionTest, EngineDestructionDestroysARunningFrame) {
  FrameLog log;
  {
    engine::SequentialEngine engine;
    engine.register_action_behavior("Co", coroutine_action(counting(log, 5, S)), {});
    engine.create_tree_from_text(main_tree("<Co/>"));
    EXPECT_EQ(engine.tick_once(), R);
  }
  EXPECT_EQ(log.made.load(), 1);
  EXPECT_EQ(log.destroyed.load(), 1);
}

TEST(CoroutineActionTest, AnExceptionFailsTheTickAndTheHaltEndsTheFrame) {
  FrameLog log;
  engine::SequentialEngine engine;
  engine.register_action_behavior("Co",
                                  coroutine_action([&log](core::TreeNode&) -> ActionCoroutine {
                                    FrameGuard guard(log);
                                    co_await running();
                                    throw std::runtime_error("went wrong");
                                  }),
                                  {});
  engine.create_tree_from_text(main_tree(R"(<Co name="c"/>)"));
  EXPECT_EQ(engine.tick_once(), R);
  try {
    engine.tick_once();
    ADD_FAILURE() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_STREQ(e.what(), "node 'c' (Co): went wrong");
  }
  EXPECT_EQ(log.destroyed.load(), 1);  // the frame's locals ended with the body
  EXPECT_EQ(engine.tick_once(), R);    // the halt after the failure made the node start again
  EXPECT_EQ(log.made.load(), 2);
}

TEST(CoroutineActionTest, RefusesAnEmptyFunction) {
  EXPECT_THROW(coroutine_action(nullptr), ValueError);
}

// A run handed over by a tick that then does not return RUNNING is halted at once; the tick
// function of a node with a run in progress is not called.
TEST(ActionRunTest, HandOverRules) {
  struct Run : nodes::ActionRun {
    std::vector<std::string>& log;
    explicit Run(std::vector<std::string>& l) : log(l) {}
    NodeStatus resume(core::TreeNode&) override {
      log.push_back("resume");
      return S;
    }
    void halt(core::TreeNode&) override { log.push_back("halt"); }
  };
  for (const NodeStatus returned : {S, F, R}) {
    std::vector<std::string> log;
    engine::SequentialEngine engine;
    engine.register_action_behavior("A",
                                    [&](core::TreeNode& node) {
                                      log.push_back("tick");
                                      nodes::continue_with(node, std::make_unique<Run>(log));
                                      return returned;
                                    },
                                    {});
    engine.create_tree_from_text(main_tree("<A/>"));
    engine.tick_once();
    engine.tick_once();
    const std::vector<std::string> expected =
        returned == R ? std::vector<std::string>{"tick", "resume"}
                      : std::vector<std::string>{"tick", "halt", "tick", "halt"};
    EXPECT_EQ(log, expected);
  }
}

TEST(ActionRunTest, OnlyAnActionNodeContinuesARun) {
  core::BehaviorTreeFactory factory;
  core::Tree tree =
      factory.create_tree_from_text(main_tree("<Sequence><AlwaysSuccess/></Sequence>"));
  struct Never : nodes::ActionRun {
    NodeStatus resume(core::TreeNode&) override { return S; }
    void halt(core::TreeNode&) override {}
  };
  EXPECT_THROW(nodes::continue_with(*tree.rootNode(), std::make_unique<Never>()),
               core::NodeTickError);
}

// --- the tick loops' waits ------------------------------------------------------------------

TEST(WakeUpSignalTest, WaitEndsForAWakeUpADeadlineOrAStop) {
  core::WakeUpSignal signal;
  using Woken = core::WakeUpSignal::Woken;
  const auto soon = [] { return std::chrono::steady_clock::now() + 1ms; };
  EXPECT_EQ(signal.wait_until(soon(), {}), Woken::kDeadline);
  signal.emit();
  EXPECT_TRUE(signal.pending());
  EXPECT_EQ(signal.wait_until(soon(), {}), Woken::kWakeUp);
  EXPECT_FALSE(signal.pending());  // consumed
  signal.emit();
  signal.clear();
  EXPECT_EQ(signal.wait_until(soon(), {}), Woken::kDeadline);

  std::stop_source stop;
  std::stop_source cancel;
  signal.emit();
  cancel.request_stop();
  EXPECT_EQ(signal.wait_until(soon(), stop.get_token(), cancel.get_token()), Woken::kStopped);
  EXPECT_TRUE(signal.pending());  // a stop does not consume the wake-up

  // From other threads, while the waiter sleeps far from its deadline.
  const auto far = std::chrono::steady_clock::now() + 1h;
  signal.clear();
  std::thread emitter([&] {
    std::this_thread::sleep_for(5ms);
    signal.emit();
  });
  EXPECT_EQ(signal.wait_until(far, {}), Woken::kWakeUp);
  emitter.join();
  std::stop_source later;
  std::thread stopper([&] {
    std::this_thread::sleep_for(5ms);
    later.request_stop();
  });
  EXPECT_EQ(signal.wait_until(far, later.get_token()), Woken::kStopped);
  stopper.join();
}

// An action that stays RUNNING until a thread of its own has finished: it wakes the tree.
TEST(TickLoopTest, AWakeUpFromAnotherThreadEndsTheWaitUnderAnEndlessPeriod) {
  engine::SequentialEngine engine;
  engine.set_tick_period(std::chrono::hours(1));
  std::atomic<bool> finished{false};
  std::thread worker;
  int ticks = 0;
  engine.register_action_behavior("Background",
                                  [&](core::TreeNode& node) {
                                    if (++ticks == 1) {
                                      worker = std::thread([&, signal = node.wakeUpSignal()] {
                                        std::this_thread::sleep_for(10ms);
                                        finished = true;
                                        signal->emit();
                                      });
                                    }
                                    return finished ? S : R;
                                  },
                                  {});
  engine.create_tree_from_text(main_tree("<Background/>"));
  EXPECT_EQ(engine.tick_until_success(), 2);  // one RUNNING tick, one wait, one SUCCESS
  worker.join();
}

TEST(TickLoopTest, TheTickPeriodBoundsTheWait) {
  engine::SequentialEngine engine;
  EXPECT_EQ(engine.tick_period(), engine::kDefaultTickPeriod);
  engine.set_tick_period(1ms);
  EXPECT_EQ(engine.tick_period(), 1ms);
  EXPECT_THROW(engine.set_tick_period(-1ns), ValueError);
  EXPECT_EQ(engine.tick_period(), 1ms);
  ScriptedActions actions;
  actions.add(engine, "A", {R, R, R, S});
  engine.create_tree_from_text(main_tree("<A/>"));
  EXPECT_EQ(engine.tick_until_success(), 4);  // nobody wakes it: the period does
  engine.set_tick_period(0ns);
  actions.add(engine, "B", {R, R, F});
  engine.create_tree_from_text(main_tree("<B/>"));
  EXPECT_EQ(engine.tick_until_failure(), 3);
}

TEST(TickLoopTest, TimersStillEndTheWaitBeforeALongPeriod) {
  engine::SequentialEngine engine;
  engine.set_tick_period(std::chrono::hours(1));
  engine.create_tree_from_text(main_tree(R"(<Sleep msec="20"/>)"));
  EXPECT_EQ(engine.tick_until_success(), 2);
}

TEST(TickLoopTest, RepeatForeverAsksForTheNextCycleAtOnce) {
  engine::SequentialEngine engine;
  engine.set_tick_period(std::chrono::hours(1));
  int count = 0;
  engine.register_action_behavior("Count", [&](core::TreeNode&) { return ++count < 5 ? S : F; },
                                  {});
  engine.create_tree_from_text(main_tree(R"(<Repeat num_cycles="-1"><Count/></Repeat>)"));
  EXPECT_EQ(engine.tick_until_failure(), 5);
}

// A cancel or an interruption ends the loop: the RUNNING action is halted before the error.
TEST(TickLoopTest, CancelAndInterruptionHaltTheTreeAndEndTheLoop) {
  for (const bool by_cancel : {true, false}) {
    FrameLog log;
    engine::SequentialEngine engine;
    engine.set_tick_period(std::chrono::hours(1));
    engine.register_action_behavior("Co", coroutine_action(counting(log, 1000000, S)), {});
    engine.create_tree_from_text(main_tree("<Co/>"));
    std::stop_source cancel;
    std::atomic<bool> interrupt{false};
    engine::LoopControl control;
    control.cancel = cancel.get_token();
    control.poll_every = 1ms;
    control.interrupted = [&] { return interrupt.load(); };
    std::thread other([&] {
      std::this_thread::sleep_for(10ms);
      if (by_cancel) {
        cancel.request_stop();
      } else {
        interrupt = true;
      }
    });
    try {
      engine.tick_until_success(control);
      ADD_FAILURE() << "the loop ended by itself";
    } catch (const core::TreeStoppedError& e) {
      EXPECT_STREQ(e.what(), "tick loop was cancelled");
    }
    other.join();
    EXPECT_EQ(log.destroyed.load(), 1) << by_cancel;
    EXPECT_EQ(std::any_cast<std::string>(engine.get_tree_status().at("status")), "IDLE");
    // The tree stays usable: a new loop runs it from the start.
    EXPECT_EQ(engine.tick_n_times(2), (std::vector<NodeStatus>{R, R}));
    EXPECT_EQ(log.made.load(), 2);
  }
}

TEST(TickLoopTest, AStopOfTheEngineHaltsTheTreeBeforeItThrows) {
  FrameLog log;
  engine::SequentialEngine engine;
  engine.set_tick_period(std::chrono::hours(1));
  std::stop_source stop;
  engine.set_stop_token(stop.get_token());
  engine.register_action_behavior("Co", coroutine_action(counting(log, 1000000, S)), {});
  engine.create_tree_from_text(main_tree("<Co/>"));
  std::thread stopper([&] {
    ASSERT_TRUE(wait_until([&] { return log.made.load() == 1; }));
    stop.request_stop();
  });
  EXPECT_THROW(engine.tick_until_success(), core::TreeStoppedError);
  stopper.join();
  EXPECT_EQ(log.destroyed.load(), 1);
}

}  // namespace
}  // namespace kelmora::testing
