// Tick semantics of the standard control nodes, one table row per behaviour.

#include <gtest/gtest.h>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;

class ControlTest : public ::testing::TestWithParam<NodeCase> {};

TEST_P(ControlTest, TicksAsTheTableSays) { expect_ticks(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlTest,
    ::testing::Values(
        NodeCase{"SequenceRunsAllChildrenInOneTick",
                 "<Sequence><A/><B/></Sequence>",
                 {{"A", {S}}, {"B", {S}}},
                 {{S, "A B"}}},
        NodeCase{"SequenceStopsAtFailure",
                 "<Sequence><A/><B/><C/></Sequence>",
                 {{"A", {S}}, {"B", {F}}, {"C", {S}}},
                 {{F, "A B"}}},
        NodeCase{"SequenceResumesAtRunningChild",
                 "<Sequence><A/><B/><C/></Sequence>",
                 {{"A", {S}}, {"B", {R, S}}, {"C", {S}}},
                 {{R, "A B"}, {S, "B C"}}},
        NodeCase{"SequenceStartsOverAfterFailure",
                 "<Sequence><A/><B/></Sequence>",
                 {{"A", {S}}, {"B", {F, S}}},
                 {{F, "A B"}, {S, "A B"}}},
        NodeCase{"SequenceWithMemoryResumesAtFailedChild",
                 "<SequenceWithMemory><A/><B/><C/></SequenceWithMemory>",
                 {{"A", {S}}, {"B", {F, S}}, {"C", {S}}},
                 {{F, "A B"}, {S, "B C"}, {S, "A B C"}}},
        NodeCase{"ReactiveSequenceRechecksEarlierChildren",
                 "<ReactiveSequence><A/><B/></ReactiveSequence>",
                 {{"A", {S}}, {"B", {R, R, S}}},
                 {{R, "A B"}, {R, "A B"}, {S, "A B"}}},
        NodeCase{"ReactiveSequenceFailingConditionEndsRunningChild",
                 "<ReactiveSequence><A/><B/></ReactiveSequence>",
                 {{"A", {S, F}}, {"B", {R}}},
                 {{R, "A B"}, {F, "A"}}},
        NodeCase{"FallbackStopsAtSuccess",
                 "<Fallback><A/><B/><C/></Fallback>",
                 {{"A", {F}}, {"B", {S}}, {"C", {S}}},
                 {{S, "A B"}}},
        NodeCase{"FallbackFailsWhenAllFail",
                 "<Fallback><A/><B/></Fallback>",
                 {{"A", {F}}, {"B", {F}}},
                 {{F, "A B"}}},
        NodeCase{"FallbackResumesAtRunningChild",
                 "<Fallback><A/><B/></Fallback>",
                 {{"A", {F}}, {"B", {R, S}}},
                 {{R, "A B"}, {S, "B"}}},
        NodeCase{"ReactiveFallbackRechecksEarlierChildren",
                 "<ReactiveFallback><A/><B/></ReactiveFallback>",
                 {{"A", {F, S}}, {"B", {R}}},
                 {{R, "A B"}, {S, "A"}}},
        NodeCase{"ParallelNeedsAllByDefaultAndSkipsCompletedChildren",
                 "<Parallel><A/><B/></Parallel>",
                 {{"A", {S}}, {"B", {R, S}}},
                 {{R, "A B"}, {S, "B"}, {S, "A B"}}},
        NodeCase{"ParallelSucceedsAtSuccessCount",
                 R"(<Parallel success_count="1"><A/><B/></Parallel>)",
                 {{"A", {R}}, {"B", {S}}},
                 {{S, "A B"}}},
        NodeCase{"ParallelFailsAtFirstFailureByDefault",
                 "<Parallel><A/><B/></Parallel>",
                 {{"A", {R}}, {"B", {F}}},
                 {{F, "A B"}}},
        NodeCase{"ParallelFailsAtFailureCount",
                 R"(<Parallel success_count="1" failure_count="2"><A/><B/><C/></Parallel>)",
                 {{"A", {F}}, {"B", {R, F}}, {"C", {R}}},
                 {{R, "A B C"}, {F, "B"}}},
        NodeCase{"ParallelAllMeansEveryChild",
                 R"(<Parallel success_count="1" failure_count="-1"><A/><B/></Parallel>)",
                 {{"A", {F}}, {"B", {R, F}}},
                 {{R, "A B"}, {F, "B"}}},
        NodeCase{"IfThenElseRunsThenBranch",
                 "<IfThenElse><C/><T/><E/></IfThenElse>",
                 {{"C", {S}}, {"T", {F}}, {"E", {S}}},
                 {{F, "C T"}}},
        NodeCase{"IfThenElseRunsElseBranch",
                 "<IfThenElse><C/><T/><E/></IfThenElse>",
                 {{"C", {F}}, {"T", {S}}, {"E", {S}}},
                 {{S, "C E"}}},
        NodeCase{"IfThenElseWithoutElseFails",
                 "<IfThenElse><C/><T/></IfThenElse>",
                 {{"C", {F}}, {"T", {S}}},
                 {{F, "C"}}},
        NodeCase{"IfThenElseDoesNotRecheckWhileBranchRuns",
                 "<IfThenElse><C/><T/></IfThenElse>",
                 {{"C", {S}}, {"T", {R, S}}},
                 {{R, "C T"}, {S, "T"}, {S, "C T"}}},
        NodeCase{"WhileDoElseRechecksEveryTick",
                 "<WhileDoElse><C/><T/><E/></WhileDoElse>",
                 {{"C", {S}}, {"T", {R, S}}, {"E", {S}}},
                 {{R, "C T"}, {S, "C T"}}},
        NodeCase{"WhileDoElseSwitchesBranch",
                 "<WhileDoElse><C/><T/><E/></WhileDoElse>",
                 {{"C", {S, F}}, {"T", {R}}, {"E", {S}}},
                 {{R, "C T"}, {S, "C E"}}},
        NodeCase{"WhileDoElseWithoutElseFails",
                 "<WhileDoElse><C/><T/></WhileDoElse>",
                 {{"C", {F}}, {"T", {S}}},
                 {{F, "C"}}}),
    [](const auto& param_info) { return param_info.param.name; });

// A halted Sequence forgets its position; halting sets every running descendant to IDLE.
TEST(ControlTest, ResetMakesSequenceStartAtFirstChildAndEveryNodeIdle) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  actions.add(engine, "B", {R});
  engine.create_tree_from_text(main_tree("<Sequence><A/><Sequence><B/></Sequence></Sequence>"));
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(actions.take_trace(), "A B B");
  engine.reset_tree();
  auto nodes = std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"));
  for (const auto& node : nodes) {
    EXPECT_EQ(std::any_cast<std::string>(node.at("status")), "IDLE")
        << std::any_cast<std::string>(node.at("name"));
  }
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(actions.take_trace(), "A B");
}

}  // namespace
}  // namespace kelmora::testing
