// A stop requested from another thread ends tick loops and timer waits of SequentialEngine.

#include <gtest/gtest.h>

#include <future>
#include <kelmora/core/errors.hpp>
#include <thread>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;

// Runs `loop` on a thread once the tree's "Started" action has ticked, requests a stop, and
// returns the error the loop ended with ("" when it ended without one).
std::string stop_while_running(const std::string& body,
                               std::function<void(engine::SequentialEngine&)> loop) {
  engine::SequentialEngine engine;
  std::stop_source stop;
  engine.set_stop_token(stop.get_token());
  std::promise<void> started;
  bool signalled = false;
  engine.register_action_behavior("Started",
                                  [&](core::TreeNode&) {
                                    if (!std::exchange(signalled, true)) started.set_value();
                                    return NodeStatus::SUCCESS;
                                  },
                                  {});
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
