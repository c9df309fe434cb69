// Scripts in trees: the condition attributes on any node, the Script / ScriptCondition /
// Precondition nodes, enum names, editor metadata attributes and the build errors of scripts.

#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/scripting.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"
#include "support/nested_error.hpp"

namespace kelmora {
namespace {

using core::NodeStatus;
using testing::main_tree;
using testing::ScriptedActions;
using namespace testing::statuses;

// An entry as text, for comparing with a table: integers and reals as scripts write them with
// `..`, text as it is, "<none>" for a missing entry.
std::string text_of(const std::any& value) {
  if (!value.has_value()) return "<none>";
  core::scripting::Value v;
  if (!core::scripting::read_any(value, v)) return "<other>";
  return v.to_text();
}

struct ScriptTick {
  std::map<std::string, std::any> set_before;  // written into the blackboard before the tick
  NodeStatus status;
  std::string trace;  // the scripted actions ticked
};

struct ScriptCase {
  std::string name;
  std::string body;
  std::map<std::string, std::vector<NodeStatus>> actions;
  std::vector<ScriptTick> ticks;
  std::map<std::string, std::string> entries_after;  // entry -> text_of(value)
};

void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.name; }

class ConditionAttributeTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ConditionAttributeTest, TicksAsTheAttributesSay) {
  const ScriptCase& c = GetParam();
  engine::SequentialEngine engine;
  ScriptedActions actions;
  for (const auto& [id, script] : c.actions) actions.add(engine, id, script);
  engine.create_tree_from_text(R"(<root BTCPP_format="4" main_tree_to_execute="MainTree">)"
                               R"(<BehaviorTree ID="MainTree">)" +
                               c.body + "</BehaviorTree></root>");
  for (std::size_t i = 0; i < c.ticks.size(); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    for (const auto& [key, value] : c.ticks[i].set_before) engine.set_blackboard_data(key, value);
    EXPECT_EQ(engine.tick_once(), c.ticks[i].status);
    EXPECT_EQ(actions.take_trace(), c.ticks[i].trace);
  }
  for (const auto& [key, expected] : c.entries_after) {
    EXPECT_EQ(text_of(engine.get_blackboard_data(key)), expected) << "entry " << key;
  }
}

// Scripts that keep a log: `log` holds the letters the post scripts appended.
const std::string kLog = R"(<Script code="log := ''"/>)";

INSTANTIATE_TEST_SUITE_P(
    Trees, ConditionAttributeTest,
    ::testing::Values(
        ScriptCase{"SkipIfTrueSkipsWithoutTicking",
                   R"(<Sequence><Script code="x := 1"/><A _skipIf="x == 1"/><B/></Sequence>)",
                   {{"A", {S}}, {"B", {S}}},
                   {{{}, S, "B"}},
                   {}},
        ScriptCase{"SkipIfFalseTicks",
                   R"(<Sequence><Script code="x := 0"/><A _skipIf="x == 1"/></Sequence>)",
                   {{"A", {F}}},
                   {{{}, F, "A"}},
                   {}},
        ScriptCase{"EverySkippedChildMakesTheParentSkipped",
                   R"(<Sequence><A _skipIf="true"/><B _skipIf="true"/></Sequence>)",
                   {{"A", {S}}, {"B", {S}}},
                   {{{}, K, ""}},
                   {}},
        ScriptCase{"FailureIfFailsWithoutTickingAndRunsFailurePosts",
                   R"(<Sequence>)" + kLog +
                       R"(<A _failureIf="true" _onFailure="log := log .. 'F'"
                             _onSuccess="log := log .. 'S'" _post="log := log .. 'P'"/>
                       </Sequence>)",
                   {{"A", {S}}},
                   {{{}, F, ""}},
                   {{"log", "FP"}}},
        ScriptCase{"SuccessIfSucceedsWithoutTickingAndRunsSuccessPosts",
                   R"(<Sequence>)" + kLog +
                       R"(<A _successIf="true" _onFailure="log := log .. 'F'"
                             _onSuccess="log := log .. 'S'" _post="log := log .. 'P'"/>
                       </Sequence>)",
                   {{"A", {F}}},
                   {{{}, S, ""}},
                   {{"log", "SP"}}},
        ScriptCase{"FailureIfIsCheckedBeforeSuccessIfAndSkipIf",
                   R"(<A _skipIf="true" _successIf="true" _failureIf="true"/>)",
                   {{"A", {S}}},
                   {{{}, F, ""}},
                   {}},
        ScriptCase{"SuccessIfIsCheckedBeforeSkipIf",
                   R"(<A _skipIf="true" _successIf="true"/>)",
                   {{"A", {F}}},
                   {{{}, S, ""}},
                   {}},
        ScriptCase{"SkipIfIsCheckedBeforeWhile",
                   R"(<A _while="false" _skipIf="true" _onHalted="h := 1"/>)",
                   {{"A", {S}}},
                   {{{}, K, ""}},
                   {{"h", "<none>"}}},
        ScriptCase{"StartConditionsAreNotCheckedAgainWhileRunning",
                   R"(<A _skipIf="x == 1" _failureIf="x == 2"/>)",
                   {{"A", {R, R, S}}},
                   {{{{"x", std::int64_t{0}}}, R, "A"},
                    {{{"x", std::int64_t{1}}}, R, "A"},
                    {{{"x", std::int64_t{2}}}, S, "A"},
                    {{}, F, ""}},
                   {}},
        ScriptCase{"WhileFalseAtStartSkips",
                   R"(<A _while="x &lt; 3" _onHalted="h := 1"/>)",
                   {{"A", {R}}},
                   {{{{"x", std::int64_t{5}}}, K, ""}},
                   {{"h", "<none>"}}},
        ScriptCase{"WhileFalseWhileRunningHaltsThenSkips",
                   R"(<A _while="x &lt; 3" _onHalted="h := 'halted'" _post="p := 1"/>)",
                   {{"A", {R}}},
                   {{{{"x", std::int64_t{1}}}, R, "A"},
                    {{{"x", std::int64_t{2}}}, R, "A"},
                    {{{"x", std::int64_t{3}}}, K, ""}},
                   {{"h", "halted"}, {"p", "<none>"}}},
        ScriptCase{"WhileTrueKeepsTickingUntilDone",
                   R"(<A _while="x &lt; 3" _post="p := 1"/>)",
                   {{"A", {R, S}}},
                   {{{{"x", std::int64_t{1}}}, R, "A"}, {{}, S, "A"}},
                   {{"p", "1"}}},
        ScriptCase{"PostScriptsRunAfterTheNodesOwnResult",
                   R"(<Sequence>)" + kLog +
                       R"(<A _onFailure="log := log .. 'F'" _onSuccess="log := log .. 'S'"
                             _post="log := log .. 'P'"/></Sequence>)",
                   {{"A", {R, S, F}}},
                   {{{}, R, "A"}, {{}, S, "A"}, {{}, F, "A"}},
                   {{"log", "FP"}}},
        ScriptCase{"SkippedNodeRunsNoPostScript",
                   R"(<Sequence>)" + kLog +
                       R"(<A _skipIf="true" _post="log := log .. 'P'"/><B/></Sequence>)",
                   {{"A", {S}}, {"B", {S}}},
                   {{{}, S, "B"}},
                   {{"log", ""}}},
        ScriptCase{"HaltedByItsParentRunsOnHaltedOnceAndNoPost",
                   R"(<Sequence><Script code="h := 0"/><ReactiveSequence><C/>
                        <A _onHalted="h += 1" _post="p := 1"/></ReactiveSequence></Sequence>)",
                   {{"C", {S, F}}, {"A", {R}}},
                   {{{}, R, "C A"}, {{}, F, "C"}},
                   {{"h", "1"}, {"p", "<none>"}}},
        ScriptCase{"AfterAHaltStartConditionsAreCheckedAgain",
                   R"(<ReactiveSequence><C/><A _skipIf="x == 1"/></ReactiveSequence>)",
                   {{"C", {S, F, S}}, {"A", {R}}},
                   {{{{"x", std::int64_t{0}}}, R, "C A"},
                    {{{"x", std::int64_t{1}}}, F, "C"},
                    {{}, S, "C"}},
                   {}},
        ScriptCase{"ConditionsWorkOnControlsAndSubTrees",
                   R"(<Sequence><Script code="x := 1"/>
                        <Fallback _skipIf="x == 1"><A/></Fallback>
                        <SubTree ID="Leaf" _skipIf="true"/><B/></Sequence>
                      </BehaviorTree><BehaviorTree ID="Leaf"><A/>)",
                   {{"A", {S}}, {"B", {S}}},
                   {{{}, S, "B"}},
                   {}},
        ScriptCase{"ScriptsReachTheRootBlackboardFromASubTree",
                   R"(<Sequence><Script code="@g := 5"/><SubTree ID="Leaf"
                        _successIf="@g == 5" _onSuccess="@g += 1"/></Sequence>
                      </BehaviorTree><BehaviorTree ID="Leaf"><AlwaysFailure/>)",
                   {},
                   {{{}, S, ""}},
                   {{"g", "6"}}},
        ScriptCase{"BlankAttributesAreNoConditions",
                   R"(<A _skipIf="" _while="  " _post=""/>)",
                   {{"A", {S}}},
                   {{{}, S, "A"}},
                   {}},
        ScriptCase{"EditorMetadataIsIgnored",
                   R"(<Sequence _collapsed="true" _description="d" _uid="3" _fullpath="x/y">
                        <A _uid="4" _fullPath="a" _pos="1,2" _foo="bar" name="first"/>
                        <SubTree ID="Leaf" _collapsed="false" _description="leaf"/></Sequence>
                      </BehaviorTree><BehaviorTree ID="Leaf"><B _description="b"/>)",
                   {{"A", {S}}, {"B", {S}}},
                   {{{}, S, "A B"}},
                   {}}),
    [](const auto& param_info) { return param_info.param.name; });

// --- Script, ScriptCondition, Precondition ------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(
    Nodes, ConditionAttributeTest,
    ::testing::Values(
        ScriptCase{"ScriptRunsItsCodeAndSucceeds",
                   R"(<Script code="a := 2 + 3 * 4; b := 'v=' .. a; c := 10 - 4 - 3"/>)",
                   {},
                   {{{}, S, ""}},
                   {{"a", "14.000000"}, {"b", "v=14.000000"}, {"c", "3.000000"}}},
        ScriptCase{"ScriptConditionGivesSuccessOrFailure",
                   R"(<Fallback><ScriptCondition code="n &gt; 5"/><A/></Fallback>)",
                   {{"A", {S}}},
                   {{{{"n", std::int64_t{3}}}, S, "A"}, {{{"n", std::int64_t{9}}}, S, ""}},
                   {}},
        ScriptCase{"PreconditionFalseReturnsElseWithoutTicking",
                   R"(<Sequence><Precondition if="x == 1" else="SKIPPED"><A/></Precondition>
                        <Precondition if="x == 1"><B/></Precondition></Sequence>)",
                   {{"A", {S}}, {"B", {S}}},
                   {{{{"x", std::int64_t{0}}}, F, ""}, {{{"x", std::int64_t{1}}}, S, "A B"}},
                   {}},
        ScriptCase{"PreconditionIsNotCheckedAgainWhileTheChildRuns",
                   R"(<Precondition if="x == 1" else="FAILURE"><A/></Precondition>)",
                   {{"A", {R, R, S}}},
                   {{{{"x", std::int64_t{1}}}, R, "A"},
                    {{{"x", std::int64_t{0}}}, R, "A"},
                    {{}, S, "A"},
                    {{}, F, ""}},
                   {}},
        ScriptCase{"PreconditionElseRunningWaitsForTheCondition",
                   R"(<Precondition if="go == 1" else="RUNNING"><A/></Precondition>)",
                   {{"A", {S}}},
                   {{{{"go", std::int64_t{0}}}, R, ""}, {{{"go", std::int64_t{1}}}, S, "A"}},
                   {}},
        ScriptCase{"PreconditionElseFromAnEntry",
                   R"(<Precondition if="false" else="{otherwise}"><A/></Precondition>)",
                   {{"A", {S}}},
                   {{{{"otherwise", std::string("SUCCESS")}}, S, ""}},
                   {}}),
    [](const auto& param_info) { return param_info.param.name; });

// --- failures
// -------------------------------------------------------------------------------------

struct FailureCase {
  std::string name;
  std::string body;
  std::string message;  // the NodeTickError's text
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ScriptTickFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ScriptTickFailureTest, TickThrowsNamingNodeAttributeAndScript) {
  engine::SequentialEngine engine;
  engine.register_action_behavior("A", [](core::TreeNode&) { return R; }, {});
  engine.create_tree_from_text(main_tree(GetParam().body));
  try {
    engine.tick_once();
    FAIL() << "ticked";
  } catch (const core::NodeTickError& e) {
    EXPECT_EQ(e.what(), GetParam().message);
    EXPECT_TRUE(testing::nested_of<core::scripting::ScriptError>(e)) << "the script's own error";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptTickFailureTest,
    ::testing::Values(
        FailureCase{"UnknownEntryInACondition", R"(<A _skipIf="missing == 1"/>)",
                    "node 'A' (A): attribute '_skipIf': Script 'missing == 1' failed at position "
                    "0: Entry 'missing' doesn't exist"},
        FailureCase{"ConditionThatIsNotABoolean", R"(<A _while="5"/>)",
                    "node 'A' (A): attribute '_while': Script '5' failed at position 0: Implicit "
                    "casting to bool is not allowed: a condition must give 0 or 1, this one gave "
                    "5"},
        FailureCase{"AssignmentToAMissingEntry", R"(<Script code="x = 1"/>)",
                    "node 'Script' (Script): Script 'x = 1' failed at position 0: Entry 'x' "
                    "doesn't exist, yet; use [:=] to create it"},
        FailureCase{"StringPlusBoolean", R"(<Script name="add" code="a := 'x' + true"/>)",
                    "node 'add' (Script): Script 'a := 'x' + true' failed at position 9: Operator "
                    "'+' needs two numbers or two strings, got a string ('x') and a number (1)"},
        FailureCase{"PostScriptFailure", R"(<AlwaysSuccess _post="n += 1"/>)",
                    "node 'AlwaysSuccess' (AlwaysSuccess): attribute '_post': Script 'n += 1' "
                    "failed at position 0: Entry 'n' doesn't exist, yet; use [:=] to create it"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(ScriptHaltTest, FailingOnHaltedScriptFailsTheTickOnceEverythingIsHalted) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "C", {S, F, S});
  actions.add(engine, "A", {R});
  engine.create_tree_from_text(
      main_tree(R"(<ReactiveSequence><C/><A _onHalted="missing += 1"/></ReactiveSequence>)"));
  EXPECT_EQ(engine.tick_once(), R);
  try {
    engine.tick_once();
    FAIL() << "ticked";
  } catch (const core::NodeTickError& e) {
    EXPECT_NE(std::string(e.what()).find("node 'A' (A): attribute '_onHalted'"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(actions.take_trace(), "C A C");
  // Nothing is left running: the next tick starts from the top.
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(actions.take_trace(), "C A");
}

TEST(ScriptHaltTest, ResetRunsOnHaltedOnceAndReportsItsFailureAfterTheReset) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {R});
  engine.create_tree_from_text(
      main_tree(R"(<Sequence><Script code="h := 0"/><A _onHalted="h += 1"/></Sequence>)"));
  EXPECT_EQ(engine.tick_once(), R);
  engine.reset_tree();
  EXPECT_EQ(text_of(engine.get_blackboard_data("h")), "1");

  engine.create_tree_from_text(main_tree(R"(<A _onHalted="h = 'x' + 1"/>)"));
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_THROW(engine.reset_tree(), core::NodeTickError);
  EXPECT_EQ(engine.tick_once(), R) << "the reset was complete: the tree runs again";
}

// --- enums
// ----------------------------------------------------------------------------------------

enum class Mode { idle = 0, busy = 7 };

TEST(ScriptEnumTest, RegisteredNamesAreNumbersInEveryScriptOfTreesBuiltAfterwards) {
  engine::SequentialEngine engine;
  engine.register_scripting_enum("RED", 1);
  engine.register_scripting_enum<Mode>({{"IDLE", Mode::idle}, {"BUSY", Mode::busy}});
  engine.create_tree_from_text(main_tree(
      R"(<Sequence><Script code="m := BUSY; c := 'RED'"/>
           <ScriptCondition code="m == BUSY &amp;&amp; m != IDLE &amp;&amp; c == RED"/>
           <Precondition if="m == 7"><AlwaysSuccess _skipIf="m == IDLE"/></Precondition>
         </Sequence>)"));
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(text_of(engine.get_blackboard_data("m")), "7.000000");
}

TEST(ScriptEnumTest, ConflictingOrMalformedNamesAreRefusedAllOrNothing) {
  core::BehaviorTreeFactory factory;
  factory.register_scripting_enum("RED", 1);
  EXPECT_NO_THROW(factory.register_scripting_enum("RED", 1)) << "the same value again";
  EXPECT_THROW(factory.register_scripting_enum("RED", 2), ValueError);
  EXPECT_THROW(factory.register_scripting_enum("9lives", 2), ValueError);
  EXPECT_THROW(factory.register_scripting_enum("true", 2), ValueError);
  EXPECT_THROW(factory.register_scripting_enums({{"GREEN", 2}, {"RED", 3}}), ValueError);
  EXPECT_FALSE(factory.scripting_enums().find("GREEN")) << "nothing of a refused batch";
  EXPECT_EQ(factory.scripting_enums().find("RED"), 1);
}

TEST(ScriptEnumTest, TreesKeepTheNamesTheyWereBuiltWith) {
  core::BehaviorTreeFactory factory;
  factory.register_scripting_enum("A", 1);
  core::Tree before = factory.create_tree_from_text(main_tree(R"(<Script code="x := B"/>)"));
  factory.register_scripting_enum("B", 2);
  core::Tree after = factory.create_tree_from_text(main_tree(R"(<Script code="x := B"/>)"));
  EXPECT_THROW(before.tickOnce(), core::NodeTickError) << "B is an unknown entry there";
  EXPECT_EQ(after.tickOnce(), S);
}

// --- build errors
// ---------------------------------------------------------------------------------

struct BuildErrorCase {
  std::string name;
  std::string body;
  std::string message;
};

void PrintTo(const BuildErrorCase& c, std::ostream* os) { *os << c.name; }

class ScriptBuildErrorTest : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(ScriptBuildErrorTest, BuildFailsNamingLineNodeAttributeAndPosition) {
  engine::SequentialEngine engine;
  engine.register_action_behavior("A", [](core::TreeNode&) { return S; }, {});
  try {
    engine.create_tree_from_text(
        "<root BTCPP_format='4' main_tree_to_execute='M'>\n<BehaviorTree ID='M'>\n" +
        GetParam().body + "\n</BehaviorTree><BehaviorTree ID='L'><A/></BehaviorTree></root>");
    FAIL() << "built";
  } catch (const core::TreeBuildError& e) {
    EXPECT_EQ(e.what(), GetParam().message);
  }
  EXPECT_FALSE(engine.has_tree());
}

INSTANTIATE_TEST_SUITE_P(
    Xml, ScriptBuildErrorTest,
    ::testing::Values(
        BuildErrorCase{"ConditionAttributeThatDoesNotParse", R"(<A name="a" _skipIf="x ==="/>)",
                       "<xml text>:3: node 'a' (A): attribute '_skipIf': Expected operand, found "
                       "'=' at position 4 in script 'x ==='"},
        BuildErrorCase{"PostScriptThatDoesNotParse", R"(<A _post="a := .5"/>)",
                       "<xml text>:3: node 'A' (A): attribute '_post': A number must start with a "
                       "digit: write 0.5, not .5 at position 5 in script 'a := .5'"},
        BuildErrorCase{"ScriptCodeThatDoesNotParse", R"(<Script code="a := "/>)",
                       "<xml text>:3: node 'Script' (Script): attribute 'code': Expected operand "
                       "at position 5 in script 'a := '"},
        BuildErrorCase{"PreconditionIfThatDoesNotParse",
                       R"(<Precondition if="(1"><A/></Precondition>)",
                       "<xml text>:3: node 'Precondition' (Precondition): attribute 'if': "
                       "Expected ')' to close the '(' at position 0, found the end of the script "
                       "at position 2 in script '(1'"},
        BuildErrorCase{"ScriptWithoutCode", R"(<Script/>)",
                       "<xml text>:3: node 'Script' (Script): missing required port 'code'"},
        BuildErrorCase{"ScriptCodeFromAnEntry", R"(<ScriptCondition code="{c}"/>)",
                       "<xml text>:3: node 'ScriptCondition' (ScriptCondition): attribute 'code' "
                       "must be a script written in the XML, not the blackboard reference '{c}'"},
        BuildErrorCase{"PreconditionElseThatIsNoStatus",
                       R"(<Precondition if="true" else="MAYBE"><A/></Precondition>)",
                       "<xml text>:3: node 'Precondition' (Precondition): port 'else' expects "
                       "SUCCESS, FAILURE, RUNNING or SKIPPED, got 'MAYBE'"},
        BuildErrorCase{"AttributeThatDiffersInCaseOnly", R"(<A _SkipIf="true"/>)",
                       "<xml text>:3: node 'A' (A): unknown attribute '_SkipIf': did you mean "
                       "'_skipIf'? (other attributes beginning with '_' are editor metadata and "
                       "ignored, but this one is too close to '_skipIf' to be taken for "
                       "metadata)"},
        BuildErrorCase{"AttributeWithATypo", R"(<Sequence _onSucess="x := 1"><A/></Sequence>)",
                       "<xml text>:3: node 'Sequence' (Sequence): unknown attribute '_onSucess': "
                       "did you mean '_onSuccess'? (other attributes beginning with '_' are "
                       "editor metadata and ignored, but this one is too close to '_onSuccess' "
                       "to be taken for metadata)"},
        BuildErrorCase{"AutoremapTypoOnASubTree", R"(<SubTree ID="L" _autoRemap="true"/>)",
                       "<xml text>:3: node 'L' (SubTree): unknown attribute '_autoRemap': did "
                       "you mean '_autoremap'? (other attributes beginning with '_' are editor "
                       "metadata and ignored, but this one is too close to '_autoremap' to be "
                       "taken for metadata)"},
        BuildErrorCase{"ConditionGivenTwiceThroughItsExplicitForm",
                       R"(<Action ID="A" _while="true" _while2="x"/>)",
                       "<xml text>:3: node 'A' (A): unknown attribute '_while2': did you mean "
                       "'_while'? (other attributes beginning with '_' are editor metadata and "
                       "ignored, but this one is too close to '_while' to be taken for "
                       "metadata)"}),
    [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace kelmora
