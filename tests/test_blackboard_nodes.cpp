// The standard nodes that work on blackboard entries: UnsetBlackboard, WasEntryUpdated,
// SkipUnlessUpdated, WaitValueUpdate and the Loop decorators.

#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <deque>
#include <functional>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/scripting.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <map>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora {
namespace {

using core::NodeStatus;
using testing::main_tree;
using testing::ScriptedActions;
using namespace testing::statuses;

std::string text_of(const std::any& value) {
  if (!value.has_value()) return "<none>";
  if (const auto* b = std::any_cast<bool>(&value)) return *b ? "true" : "false";
  core::scripting::Value v;
  if (!core::scripting::read_any(value, v)) return "<other>";
  return v.to_text();
}

struct Step {
  std::function<void(engine::SequentialEngine&)> before;  // may be empty
  NodeStatus status;
  std::string trace;
  std::map<std::string, std::string> entries;  // checked after the tick
};

struct BoardCase {
  std::string name;
  std::string body;
  std::map<std::string, std::vector<NodeStatus>> actions;
  std::vector<Step> steps;
};

void PrintTo(const BoardCase& c, std::ostream* os) { *os << c.name; }

// Writes one entry before a tick.
std::function<void(engine::SequentialEngine&)> set(std::string key, std::any value) {
  return [key, value](engine::SequentialEngine& e) { e.set_blackboard_data(key, value); };
}

class BlackboardNodeTest : public ::testing::TestWithParam<BoardCase> {};

TEST_P(BlackboardNodeTest, TicksAsDocumented) {
  const BoardCase& c = GetParam();
  engine::SequentialEngine engine;
  ScriptedActions actions;
  for (const auto& [id, script] : c.actions) actions.add(engine, id, script);
  engine.create_tree_from_text(main_tree(c.body));
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    const Step& step = c.steps[i];
    if (step.before) step.before(engine);
    EXPECT_EQ(engine.tick_once(), step.status);
    EXPECT_EQ(actions.take_trace(), step.trace);
    for (const auto& [key, expected] : step.entries) {
      EXPECT_EQ(text_of(engine.get_blackboard_data(key)), expected) << "entry " << key;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, BlackboardNodeTest,
    ::testing::Values(
        BoardCase{"UnsetBlackboardRemovesTheEntryAndSucceedsWhenItIsMissing",
                  R"(<Sequence><UnsetBlackboard key="a"/><UnsetBlackboard key="{which}"/>
                       <UnsetBlackboard key="never"/></Sequence>)",
                  {},
                  {{[](engine::SequentialEngine& e) {
                      e.set_blackboard_data("a", 1);
                      e.set_blackboard_data("b", 2);
                      e.set_blackboard_data("which", std::string("b"));
                    },
                    S,
                    "",
                    {{"a", "<none>"}, {"b", "<none>"}, {"which", "b"}}}}},
        BoardCase{
            "WasEntryUpdatedSeesEachWriteOnce",
            R"(<WasEntryUpdated entry="{x}"/>)",
            {},
            {{{}, F, "", {}},
             {set("x", 1), S, "", {}},
             {{}, F, "", {}},
             {set("x", 1), S, "", {}},
             {[](engine::SequentialEngine& e) { e.set_blackboard_data("y", 1); }, F, "", {}}}},
        BoardCase{"WasEntryUpdatedSeesScriptWritesAndRemovals",
                  R"(<Sequence><Script code="x := 1"/><WasEntryUpdated entry="x"/>
                       <UnsetBlackboard key="x"/></Sequence>)",
                  {},
                  {{{}, S, "", {{"x", "<none>"}}}, {{}, S, "", {}}}},
        BoardCase{"SkipUnlessUpdatedTicksTheChildOnlyAfterAWrite",
                  R"(<SkipUnlessUpdated entry="{goal}"><A/></SkipUnlessUpdated>)",
                  {{"A", {R, S, F}}},
                  {{{}, K, "", {}},
                   {set("goal", 1), R, "A", {}},
                   {{}, S, "A", {}},  // a RUNNING child is ticked without a check
                   {{}, K, "", {}},
                   {set("goal", 2), F, "A", {}}}},
        BoardCase{"WaitValueUpdateRunsUntilAWrite",
                  R"(<WaitValueUpdate entry="goal"><A/></WaitValueUpdate>)",
                  {{"A", {S}}},
                  {{{}, R, "", {}}, {set("goal", 1), S, "A", {}}, {{}, R, "", {}}}},
        BoardCase{"LoopIntTakesOneElementPerTickThenIfEmpty",
                  R"(<LoopInt queue="1;2;3" value="{v}"><A/></LoopInt>)",
                  {{"A", {S}}},
                  {{{}, R, "A", {{"v", "1"}}},
                   {{}, R, "A", {{"v", "2"}}},
                   {{}, R, "A", {{"v", "3"}}},
                   {{}, S, "", {}},
                   {{}, R, "A", {{"v", "1"}}}}},  // a literal queue starts again from the top
        BoardCase{
            "LoopStopsAtAFailureAndKeepsTheRest",
            R"(<LoopString queue="a; b c ;;d" value="{v}" if_empty="FAILURE"><A/></LoopString>)",
            {{"A", {S, F, S}}},
            {{{}, R, "A", {{"v", "a"}}},
             {{}, F, "A", {{"v", "b c"}}},
             {{}, R, "A", {{"v", "d"}}},
             {{}, F, "", {}}}},
        BoardCase{"LoopWaitsForARunningChildBeforeTakingMore",
                  R"(<LoopDouble queue="0.5;2" value="{v}"><A/></LoopDouble>)",
                  {{"A", {R, S, S}}},
                  {{{}, R, "A", {{"v", "0.500000"}}},
                   {{}, R, "A", {{"v", "0.500000"}}},
                   {{}, R, "A", {{"v", "2.000000"}}},
                   {{}, S, "", {}}}},
        BoardCase{
            "LoopBoolOfAnEmptyQueueReturnsIfEmptyWithoutTicking",
            R"(<Sequence><LoopBool queue="" if_empty="SKIPPED"><A/></LoopBool><B/></Sequence>)",
            {{"A", {S}}, {"B", {S}}},
            {{{}, S, "B", {}}}},
        BoardCase{"LoopConsumesADequeEntryInPlace",
                  R"(<LoopInt queue="{q}" value="{v}"><A/></LoopInt>)",
                  {{"A", {S}}},
                  {{set("q", std::deque<std::int64_t>{7, 8}), R, "A", {{"v", "7"}}},
                   {[](engine::SequentialEngine& e) {
                      EXPECT_EQ(std::any_cast<std::deque<std::int64_t>>(e.get_blackboard_data("q")),
                                (std::deque<std::int64_t>{8}));
                    },
                    R,
                    "A",
                    {{"v", "8"}}},
                   {{}, S, "", {}}}},
        BoardCase{"LoopCopiesAListOrParsesTextOncePerRun",
                  R"(<Sequence><LoopBool queue="{flags}" value="{f}"><A/></LoopBool>
                       <LoopInt queue="{text}" value="{n}"><B/></LoopInt></Sequence>)",
                  {{"A", {S}}, {"B", {S}}},
                  {{[](engine::SequentialEngine& e) {
                      e.set_blackboard_data("flags", std::vector<bool>{true, false});
                      e.set_blackboard_data("text", std::string("4;5"));
                    },
                    R,
                    "A",
                    {{"f", "true"}}},
                   {{}, R, "A", {{"f", "false"}}},
                   {{}, R, "B", {{"n", "4"}, {"text", "4;5"}}},
                   {{}, R, "B", {{"n", "5"}}},
                   {{}, S, "", {}}}}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(BlackboardNodeErrorTest, BadQueuesFailTheBuildOrTheTickNamingNodeAndPort) {
  engine::SequentialEngine engine;
  engine.register_action_behavior("A", [](core::TreeNode&) { return S; }, {});
  const auto build_error = [&](const std::string& body) {
    try {
      engine.create_tree_from_text(main_tree(body));
    } catch (const core::TreeBuildError& e) {
      return std::string(e.what());
    }
    return std::string("<built>");
  };
  EXPECT_EQ(build_error(R"(<LoopInt queue="1;x;3"><A/></LoopInt>)"),
            "<xml text>:1: node 'LoopInt' (LoopInt): port 'queue': item 'x' is not an integer");
  EXPECT_EQ(build_error(R"(<LoopBool queue="yes"><A/></LoopBool>)"),
            "<xml text>:1: node 'LoopBool' (LoopBool): port 'queue': item 'yes' is not true or "
            "false");
  EXPECT_EQ(build_error(R"(<LoopInt queue="1" if_empty="RUNNING"><A/></LoopInt>)"),
            "<xml text>:1: node 'LoopInt' (LoopInt): port 'if_empty' expects SUCCESS, FAILURE or "
            "SKIPPED, got 'RUNNING'");
  EXPECT_EQ(build_error(R"(<LoopInt><A/></LoopInt>)"),
            "<xml text>:1: node 'LoopInt' (LoopInt): missing required port 'queue'");
  EXPECT_EQ(build_error(R"(<WaitValueUpdate><A/></WaitValueUpdate>)"),
            "<xml text>:1: node 'WaitValueUpdate' (WaitValueUpdate): missing required port "
            "'entry'");

  struct TickCase {
    std::string body;
    std::any queue;
    std::string message;
  };
  for (const TickCase& c : std::vector<TickCase>{
           {R"(<LoopInt queue="{q}"><A/></LoopInt>)",
            {},
            "node 'LoopInt' (LoopInt): port 'queue' refers to blackboard entry 'q', which was "
            "never written"},
           {R"(<LoopInt queue="{q}"><A/></LoopInt>)", std::string("1;2.5"),
            "node 'LoopInt' (LoopInt): port 'queue': item '2.5' is not an integer"},
           {R"(<LoopString queue="{q}"><A/></LoopString>)", NodeStatus::SUCCESS,
            "node 'LoopString' (LoopString): port 'queue': blackboard entry 'q' holds "
            "NodeStatus, not a queue, a list or text"}}) {
    SCOPED_TRACE(c.message);
    engine.create_tree_from_text(main_tree(c.body));
    if (c.queue.has_value()) engine.set_blackboard_data("q", c.queue);
    try {
      engine.tick_once();
      FAIL() << "ticked";
    } catch (const core::NodeTickError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message) << e.what();
    }
  }
}

TEST(BlackboardNodeErrorTest, HaltRestartsALiteralQueueAndResetForgetsWhatWasSeen) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.create_tree_from_text(main_tree(R"(<Sequence>
      <LoopInt queue="1;2;3" value="{v}"><A/></LoopInt></Sequence>)"));
  engine.tick_once();
  engine.tick_once();
  EXPECT_EQ(text_of(engine.get_blackboard_data("v")), "2");
  engine.reset_tree();
  engine.tick_once();
  EXPECT_EQ(text_of(engine.get_blackboard_data("v")), "1");

  engine.create_tree_from_text(main_tree(R"(<WasEntryUpdated entry="x"/>)"));
  engine.set_blackboard_data("x", 1);
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(engine.tick_once(), F);
  engine.reset_tree();
  EXPECT_EQ(engine.tick_once(), S) << "after a reset the first look counts again";
}

}  // namespace
}  // namespace kelmora
