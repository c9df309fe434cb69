// Tick semantics of the standard decorators and leaves, one table row per behaviour, and the
// time-based nodes, which must never block a tick.

#include <gtest/gtest.h>

#include <chrono>
#include <kelmora/core/errors.hpp>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;

class DecoratorTest : public ::testing::TestWithParam<NodeCase> {};

TEST_P(DecoratorTest, TicksAsTheTableSays) { expect_ticks(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Decorators, DecoratorTest,
    ::testing::Values(
        NodeCase{"InverterSwapsResults",
                 "<Inverter><A/></Inverter>",
                 {{"A", {S, F, R}}},
                 {{F, "A"}, {S, "A"}, {R, "A"}}},
        NodeCase{"ForceSuccessTurnsFailureIntoSuccess",
                 "<ForceSuccess><A/></ForceSuccess>",
                 {{"A", {F, R}}},
                 {{S, "A"}, {R, "A"}}},
        NodeCase{"ForceFailureTurnsSuccessIntoFailure",
                 "<ForceFailure><A/></ForceFailure>",
                 {{"A", {S, R}}},
                 {{F, "A"}, {R, "A"}}},
        NodeCase{"RepeatRunsChildNumCyclesTimesInOneTick",
                 R"(<Repeat num_cycles="3"><A/></Repeat>)",
                 {{"A", {S}}},
                 {{S, "A A A"}}},
        NodeCase{"RepeatStopsAtFailure",
                 R"(<Repeat num_cycles="3"><A/></Repeat>)",
                 {{"A", {S, F}}},
                 {{F, "A A"}}},
        NodeCase{"RepeatResumesRunningChildAndKeepsCount",
                 R"(<Repeat num_cycles="2"><A/></Repeat>)",
                 {{"A", {S, R, S}}},
                 {{R, "A A"}, {S, "A"}}},
        NodeCase{"RepeatZeroCyclesSucceedsWithoutTickingChild",
                 R"(<Repeat num_cycles="0"><A/></Repeat>)",
                 {{"A", {F}}},
                 {{S, ""}}},
        NodeCase{"RepeatForeverReturnsRunningAfterEachCycle",
                 R"(<Repeat num_cycles="-1"><A/></Repeat>)",
                 {{"A", {S, S, F}}},
                 {{R, "A"}, {R, "A"}, {F, "A"}}},
        NodeCase{"RetrySucceedsOnLaterAttempt",
                 R"(<RetryUntilSuccessful num_attempts="3"><A/></RetryUntilSuccessful>)",
                 {{"A", {F, F, S}}},
                 {{S, "A A A"}}},
        NodeCase{"RetryFailsAfterNumAttempts",
                 R"(<RetryUntilSuccessful num_attempts="3"><A/></RetryUntilSuccessful>)",
                 {{"A", {F}}},
                 {{F, "A A A"}}},
        NodeCase{"KeepRunningUntilFailureTurnsSuccessIntoRunning",
                 "<KeepRunningUntilFailure><A/></KeepRunningUntilFailure>",
                 {{"A", {S, R, F}}},
                 {{R, "A"}, {R, "A"}, {F, "A"}}},
        NodeCase{"RunOnceThenSkips",
                 "<RunOnce><A/></RunOnce>",
                 {{"A", {R, F}}},
                 {{R, "A"}, {F, "A"}, {K, ""}}},
        NodeCase{"RunOnceWithoutSkipRepeatsFirstResult",
                 R"(<RunOnce then_skip="false"><A/></RunOnce>)",
                 {{"A", {S, F}}},
                 {{S, "A"}, {S, ""}}},
        NodeCase{"SequenceGoesOnAfterSkippedRunOnce",
                 "<Sequence><RunOnce><A/></RunOnce><B/></Sequence>",
                 {{"A", {S}}, {"B", {S}}},
                 {{S, "A B"}, {S, "B"}}},
        NodeCase{"AlwaysNodesReturnTheirStatus",
                 "<Sequence><AlwaysSuccess/><ForceSuccess><AlwaysFailure/></ForceSuccess>"
                 "<Inverter><AlwaysFailure/></Inverter><A/></Sequence>",
                 {{"A", {S}}},
                 {{S, "A"}}},
        NodeCase{"TimeoutOfZeroFailsWithoutTickingChild",
                 R"(<Timeout msec="0"><A/></Timeout>)",
                 {{"A", {S}}},
                 {{F, ""}}},
        NodeCase{"TimeoutPassesQuickResultOn",
                 R"(<Timeout msec="60000"><A/></Timeout>)",
                 {{"A", {S}}},
                 {{S, "A"}}},
        NodeCase{"SleepOfZeroSucceedsAtOnce", R"(<Sleep msec="0"/>)", {}, {{S, ""}}}),
    [](const auto& param_info) { return param_info.param.name; });

using Clock = std::chrono::steady_clock;

// Checks a tick loop over a tree whose first tick, at `first_tick`, started a 40 ms wait. The
// loop sleeps until the deadline instead of re-ticking: it ticks once before the deadline and
// once after it, or only once after it when the deadline had already passed as the loop began
// (a loaded machine can hold a thread that long between two calls). Either way it returns no
// sooner than the deadline.
void expect_loop_waited_for_deadline(std::int64_t ticks, Clock::time_point first_tick) {
  EXPECT_GE(Clock::now() - first_tick, std::chrono::milliseconds(40));
  EXPECT_GE(ticks, 1);
  EXPECT_LE(ticks, 2) << "the loop re-ticked before the deadline";
}

TEST(TimedNodeTest, SleepNeverBlocksAndTickLoopWaitsForItsDeadline) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.create_tree_from_text(main_tree(R"(<Sequence><Sleep msec="40"/><A/></Sequence>)"));
  const auto first_tick = Clock::now();
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(actions.take_trace(), "");
  expect_loop_waited_for_deadline(engine.tick_until_success(), first_tick);
  EXPECT_EQ(actions.take_trace(), "A");
}

TEST(TimedNodeTest, DelayTicksChildOnlyAfterItsDelay) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.create_tree_from_text(main_tree(R"(<Delay delay_msec="40"><A/></Delay>)"));
  const auto first_tick = Clock::now();
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(actions.take_trace(), "");
  expect_loop_waited_for_deadline(engine.tick_until_success(), first_tick);
  EXPECT_EQ(actions.take_trace(), "A");
}

TEST(TimedNodeTest, TimeoutHaltsRunningChildAndFails) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(main_tree(R"(<Timeout msec="40"><Sleep msec="60000"/></Timeout>)"));
  const auto first_tick = Clock::now();
  EXPECT_EQ(engine.tick_once(), R);
  expect_loop_waited_for_deadline(engine.tick_until_failure(), first_tick);
  auto nodes = std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"));
  EXPECT_EQ(std::any_cast<std::string>(nodes.at(1).at("status")), "IDLE");
}

TEST(TimedNodeTest, HaltedSleepStartsItsWaitAnew) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(main_tree(R"(<Sleep msec="60000"/>)"));
  EXPECT_EQ(engine.tick_once(), R);
  engine.reset_tree();
  EXPECT_EQ(engine.tick_once(), R);
}

TEST(SetBlackboardTest, WritesLiteralsAndCopiesEntries) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(
      main_tree(R"(<Sequence><SetBlackboard value="42" output_key="answer"/>)"
                R"(<SetBlackboard value="{obj}" output_key="{copy}"/></Sequence>)"));
  engine.set_blackboard_data("obj", 7);
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("answer")), "42");
  EXPECT_EQ(std::any_cast<int>(engine.get_blackboard_data("copy")), 7);
}

TEST(SetBlackboardTest, CopyingAnEntryNeverWrittenFailsNamingIt) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(
      main_tree(R"(<SetBlackboard name="copier" value="{missing}" output_key="x"/>)"));
  try {
    engine.tick_once();
    FAIL() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_STREQ(e.what(),
                 "node 'copier' (SetBlackboard): port 'value' refers to blackboard entry "
                 "'missing', which was never written");
  }
}

}  // namespace
}  // namespace kelmora::testing
