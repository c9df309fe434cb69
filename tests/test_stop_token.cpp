// A stop requested from another thread ends tick loops and timer waits of SequentialEngine.

#include <gtest/gtest.h>

#include <future>
#include <kelmora/core/errors.hpp>
#include <thread>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;

// Runs `loop` on a thread once the tree's "Started" action (SUCCESS) or "StartedFailing" action
// (FAILURE) has ticked, requests a stop, and returns the error the loop ended with ("" when it
// ended without one). `after` runs on the engine once the loop has ended.
std::string stop_while_running(const std::string& body,
                               std::function<void(engine::SequentialEngine&)> loop,
                               std::function<void(engine::SequentialEngine&)> after = {}) {
  engine::SequentialEngine engine;
  std::stop_source stop;
  engine.set_stop_token(stop.get_token());
  std::promise<void> started;
  bool signalled = false;
  for (const auto& [id, result] : {std::pair{"Started", NodeStatus::SUCCESS},
                                   std::pair{"StartedFailing", NodeStatus::FAILURE}}) {
    engine.register_action_behavior(id,
                                    [&, result = result](core::TreeNode&) {
                                      if (!std::exchange(signalled, true)) started.set_value();
                                      return result;
                                    },
                                    {});
  }
  engine.create_tree_from_text(main_tree(body));
  std::string error;
  std::thread runner([&] {
    try {
      loop(engine);
    } catch (const core::TreeStoppedError& e) {
      error = e.what();
    }
  });
  started.get_future().wait();
  stop.request_stop();
  runner.join();
  if (after) after(engine);
  return error;
}

TEST(StopTokenTest, StopEndsLoopOverRunningTreeWithoutTimers) {
  const std::string body =
      "<Sequence><Started/><KeepRunningUntilFailure><AlwaysSuccess/></KeepRunningUntilFailure>"
      "</Sequence>";
  EXPECT_EQ(stop_while_running(body, [](auto& e) { e.tick_until_failure(); }),
            "tree was stopped while ticking");
  EXPECT_EQ(stop_while_running(body, [](auto& e) { e.tick_until_success(); }),
            "tree was stopped while ticking");
}

TEST(StopTokenTest, StopEndsWaitForALongSleep) {
  const std::string body = R"(<Sequence><Started/><Sleep msec="600000"/></Sequence>)";
  EXPECT_EQ(stop_while_running(body, [](auto& e) { e.tick_until_success(); }),
            "tree was stopped while ticking");
}

TEST(StopTokenTest, StopEndsLoopThatKeepsSucceeding) {
  EXPECT_EQ(stop_while_running("<Started/>", [](auto& e) { e.tick_until_failure(); }),
            "tree was stopped while ticking");
}

struct HugeLoopCase {
  std::string name;
  std::string body;
};

void PrintTo(const HugeLoopCase& c, std::ostream* os) { *os << c.name; }

class HugeLoopStopTest : public ::testing::TestWithParam<HugeLoopCase> {};

// Repeat and RetryUntilSuccessful run all their cycles inside one tick; a stop is checked between
// cycles, so it ends such a tick (and the loops around it) instead of waiting for every cycle.
TEST_P(HugeLoopStopTest, StopEndsATickThatRunsAHugeNumberOfCycles) {
  const auto idle_after_stop = [](engine::SequentialEngine& e) {
    EXPECT_EQ(std::any_cast<std::string>(e.get_tree_status().at("status")), "IDLE");
  };
  const std::vector<std::pair<std::string, std::function<void(engine::SequentialEngine&)>>> loops =
      {{"tick_once", [](auto& e) { e.tick_once(); }},
       {"tick_n_times", [](auto& e) { e.tick_n_times(3); }},
       {"tick_until_success", [](auto& e) { e.tick_until_success(); }},
       {"tick_until_failure", [](auto& e) { e.tick_until_failure(); }}};
  for (const auto& [name, loop] : loops) {
    SCOPED_TRACE(name);
    EXPECT_EQ(stop_while_running(GetParam().body, loop, idle_after_stop),
              "tree was stopped while ticking");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Loops, HugeLoopStopTest,
    ::testing::Values(
        HugeLoopCase{"Repeat", R"(<Repeat num_cycles="1000000000000"><Started/></Repeat>)"},
        HugeLoopCase{"Retry",
                     R"(<RetryUntilSuccessful num_attempts="1000000000000"><StartedFailing/>)"
                     "</RetryUntilSuccessful>"},
        HugeLoopCase{"NestedRepeats",
                     R"(<Repeat num_cycles="1000000000000"><Repeat num_cycles="1000000">)"
                     "<Started/></Repeat></Repeat>"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(StopTokenTest, LoopsInsideATickRunEveryCycleWithoutAStop) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {NodeStatus::SUCCESS});
  std::stop_source stop;
  engine.set_stop_token(stop.get_token());
  engine.create_tree_from_text(main_tree(R"(<Repeat num_cycles="3"><A/></Repeat>)"));
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  EXPECT_EQ(actions.take_trace(), "A A A");
}

TEST(StopTokenTest, StopRequestedBeforeALoopEndsItBeforeTheFirstTick) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {NodeStatus::FAILURE});
  std::stop_source stop;
  engine.create_tree_from_text(main_tree("<A/>"));
  engine.set_stop_token(stop.get_token());  // set after the build: reaches the built tree
  stop.request_stop();
  EXPECT_THROW(engine.tick_until_failure(), core::TreeStoppedError);
  EXPECT_THROW(engine.tick_n_times(2), core::TreeStoppedError);
  EXPECT_EQ(actions.take_trace(), "");
  EXPECT_EQ(engine.tick_once(), NodeStatus::FAILURE);  // a single tick is no loop
}

}  // namespace
}  // namespace kelmora::testing
