// Switch2..Switch6, ParallelAll, TryCatch, AsyncSequence, AsyncFallback and the older names
// SequenceStar and RetryUntilSuccesful, tick by tick: what each tick returns, which leaves it
// reaches, which running leaves get halted; and the build and tick errors that name the node.

#include <gtest/gtest.h>

#include <any>
#include <cstddef>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/scripting.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <kelmora/nodes/switch_node.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core_test_helpers.hpp"
#include "scripted_leaf.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;
using core::NodeStatus;
using engine::SequentialEngine;

// "<Scripted name="A" script="F,S"/>"
std::string leaf(const std::string& name, const std::string& script) {
  return "<Scripted name=\"" + name + "\" script=\"" + script + "\"/>";
}

// A reactive parent that halts `body` on the ticks where its guard G succeeds: the guard's
// script says, tick by tick, F (tick the body) or S (halt the body, return SUCCESS).
std::string guarded(const std::string& guard_script, const std::string& body) {
  return "<ReactiveFallback>" + leaf("G", guard_script) + body + "</ReactiveFallback>";
}

// One tick: the blackboard entry `key` is set to `value` first (when given), then the tree
// ticks, giving `status` and the leaf events `trace`.
struct Step {
  NodeStatus status;
  std::string trace;
  std::string key = {};
  std::any value = {};
};

struct Case {
  std::string name;
  std::string body;
  std::vector<Step> steps;
};

void run_cases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    take_trace();
    {
      SequentialEngine engine;
      engine.register_node_class<Scripted>();
      engine.create_tree_from_text(main_tree(c.body));
      for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("tick " + std::to_string(i + 1));
        const Step& step = c.steps[i];
        if (!step.key.empty()) engine.set_blackboard_data(step.key, step.value);
        EXPECT_EQ(engine.tick_once(), step.status);
        EXPECT_EQ(take_trace(), step.trace);
      }
    }
    take_trace();  // halts as the engine goes
  }
}

// The message of the error building `body` throws, or "" when it builds.
std::string build_error(const std::string& body) {
  SequentialEngine engine;
  engine.register_node_class<Scripted>();
  try {
    engine.create_tree_from_text(main_tree(body));
  } catch (const core::TreeBuildError& e) {
    return e.what();
  }
  return "";
}

// The message of the error the first tick of `body` throws (after setting `key` to `value`).
std::string tick_error(const std::string& body, const std::string& key = "", std::any value = {}) {
  SequentialEngine engine;
  engine.register_node_class<Scripted>();
  engine.create_tree_from_text(main_tree(body));
  if (!key.empty()) engine.set_blackboard_data(key, std::move(value));
  try {
    engine.tick_once();
  } catch (const core::NodeTickError& e) {
    take_trace();
    return e.what();
  }
  take_trace();
  return "";
}

TEST(SwitchTest, CaseMatchingComparesTextThenNumbersThenEnumNames) {
  core::scripting::EnumRegistry colors;
  colors.register_enum("RED", 1);
  colors.register_enum("BLUE", 2);
  struct Row {
    const char* variable;
    const char* case_value;
    bool matches;
  };
  for (const Row& row : std::vector<Row>{
           {"go", "go", true},
           {"go", "Go", false},
           {"", "", true},
           {"2", "2", true},
           {"2.0", "2", true},
           {"2", "2.0", true},
           {"-3", "-3.00", true},
           {"1e2", "100", true},
           {"0.5", ".5", true},
           {"2abc", "2", false},
           {"2", "2abc", false},
           {" 2", "2", false},
           {"true", "1", false},
           {"1", "true", false},
           {"true", "true", true},
           {"BLUE", "2", true},
           {"2", "BLUE", true},
           {"BLUE", "2.0", true},
           {"RED", "BLUE", false},
           {"GREEN", "0", false},
           {"inf", "inf", true},
           {"inf", "1e999", false},
           {"nan", "nan", true},
           {"0x2", "2", false},
           {"9007199254740993", "9007199254740992", false},
       }) {
    EXPECT_EQ(nodes::switch_case_matches(row.variable, row.case_value, &colors), row.matches)
        << "'" << row.variable << "' vs '" << row.case_value << "'";
  }
  // Without a registry, enum names are only text.
  EXPECT_FALSE(nodes::switch_case_matches("BLUE", "2"));
}

TEST(SwitchTest, TicksTheChildOfTheFirstMatchingCaseElseTheDefault) {
  const std::string body = "<Switch3 variable=\"{v}\" case_1=\"2\" case_2=\"go\" case_3=\"2\">" +
                           leaf("A", "S") + leaf("B", "F") + leaf("C", "S") + leaf("D", "S") +
                           "</Switch3>";
  run_cases({
      {"every kind of variable",
       body,
       {
           {S, "D"},  // v never written: the default
           {S, "A", "v", std::string("2")},
           {S, "A", "v", std::string("2.0")},
           {S, "A", "v", 2},
           {S, "A", "v", 2.0},
           {F, "B", "v", std::string("go")},
           {S, "D", "v", std::string("2abc")},
           {S, "D", "v", std::string("")},
           {S, "D", "v", true},
           {S, "D", "v", std::vector<int>{2}},  // no text, no number: the default
       }},
      {"a literal variable",
       "<Switch2 variable=\"b\" case_1=\"a\" case_2=\"b\">" + leaf("A", "S") + leaf("B", "F") +
           leaf("D", "S") + "</Switch2>",
       {{F, "B"}, {F, "B"}}},
      {"an unbound variable or case",
       "<Switch2 case_1=\"a\">" + leaf("A", "S") + leaf("B", "S") + leaf("D", "F") + "</Switch2>",
       {{F, "D"}}},
      {"a case from an entry is read each tick; unreadable cases never match",
       "<Switch2 variable=\"x\" case_1=\"{c}\" case_2=\"x\">" + leaf("A", "S") + leaf("B", "F") +
           leaf("D", "S") + "</Switch2>",
       {{F, "B"}, {S, "A", "c", std::string("x")}, {F, "B", "c", 7}}},
      {"a skipped child gives SKIPPED",
       "<Switch2 variable=\"a\" case_1=\"a\" case_2=\"b\">" + leaf("A", "K") + leaf("B", "S") +
           leaf("D", "S") + "</Switch2>",
       {{K, "A"}}},
      {"Switch6 reaches its sixth case and its default",
       "<Switch6 variable=\"{v}\" case_1=\"1\" case_2=\"2\" case_3=\"3\" case_4=\"4\" "
       "case_5=\"5\" case_6=\"6\">" +
           leaf("C1", "S") + leaf("C2", "S") + leaf("C3", "S") + leaf("C4", "S") + leaf("C5", "S") +
           leaf("C6", "S") + leaf("D", "F") + "</Switch6>",
       {{S, "C6", "v", 6}, {S, "C5", "v", std::string("5")}, {F, "D", "v", 7}}},
  });
}

TEST(SwitchTest, HaltsTheRunningChildWhenTheMatchChanges) {
  const std::string body = "<Switch2 variable=\"{v}\" case_1=\"a\" case_2=\"b\">" + leaf("A", "R") +
                           leaf("B", "R,S") + leaf("D", "R,F") + "</Switch2>";
  run_cases({
      {"match changes",
       body,
       {
           {R, "A", "v", std::string("a")},
           {R, "A"},
           {R, "~A B", "v", std::string("b")},
           {R, "~B D", "v", std::string("none")},
           {F, "D"},
           {S, "B", "v", std::string("b")},  // B's script goes on where it was
       }},
      {"a halt from the parent halts the running branch",
       guarded("F,S,F", "<Switch2 variable=\"a\" case_1=\"a\" case_2=\"b\">" + leaf("A", "R") +
                            leaf("B", "S") + leaf("D", "S") + "</Switch2>"),
       {{R, "G A"}, {S, "G ~A"}, {R, "G A"}}},
  });
}

TEST(SwitchTest, StructureErrorsNameTheNode) {
  struct Row {
    std::string body;
    std::string message;
  };
  for (const Row& row : std::vector<Row>{
           {"<Switch3 name=\"s\" variable=\"x\">" + leaf("A", "S") + leaf("B", "S") +
                leaf("C", "S") + "</Switch3>",
            "node 's' (Switch3): needs exactly 4 children (Control node), has 3"},
           {"<Switch2 name=\"s\">" + leaf("A", "S") + leaf("B", "S") + leaf("C", "S") +
                leaf("D", "S") + "</Switch2>",
            "node 's' (Switch2): needs exactly 3 children (Control node), has 4"},
           {"<Switch2 name=\"s\" case_3=\"x\">" + leaf("A", "S") + leaf("B", "S") + leaf("C", "S") +
                "</Switch2>",
            "node 's' (Switch2): attribute 'case_3' is not a port of this node (ports: "
            "variable, case_1, case_2)"},
       }) {
    const std::string error = build_error(row.body);
    EXPECT_NE(error.find(row.message), std::string::npos) << error;
  }
}

TEST(ParallelAllTest, RunsEveryChildToTheEndThenCountsFailures) {
  const auto parallel = [](const std::string& max, const std::string& a, const std::string& b,
                           const std::string& c) {
    return "<ParallelAll" + (max.empty() ? "" : " max_failures=\"" + max + "\"") + ">" +
           leaf("A", a) + leaf("B", b) + leaf("C", c) + "</ParallelAll>";
  };
  run_cases({
      {"one failure fails by default, without halting the others",
       parallel("", "S", "R,F", "R,R,S"),
       {{R, "A B C"}, {R, "B C"}, {F, "C"}, {F, "A B C"}}},
      {"all succeed", parallel("", "S", "R,S", "S"), {{R, "A B C"}, {S, "B"}}},
      {"fewer failures than max_failures succeed",
       parallel("2", "F", "R,S", "S"),
       {{R, "A B C"}, {S, "B"}}},
      {"max_failures failures fail", parallel("2", "F", "F", "S"), {{F, "A B C"}}},
      {"-1: only all failing fails", parallel("-1", "F", "F", "S"), {{S, "A B C"}}},
      {"-1 with all failing", parallel("-1", "F", "F", "F"), {{F, "A B C"}}},
      {"-2: all but one", parallel("-2", "F", "F", "S"), {{F, "A B C"}}},
      {"0 always fails", parallel("0", "S", "S", "S"), {{F, "A B C"}}},
      {"skipped children count as done, neither failed nor succeeded",
       parallel("1", "K", "R,S", "K"),
       {{R, "A B C"}, {S, "B"}}},
      {"all skipped gives SKIPPED", parallel("0", "K", "K", "K"), {{K, "A B C"}}},
      {"a halt halts the running children and forgets the results",
       guarded("F,S,F", parallel("", "S", "R", "R,R,S")),
       {{R, "G A B C"}, {S, "G ~B ~C"}, {R, "G A B C"}}},
  });
}

TEST(ParallelAllTest, MaxFailuresBeyondTheChildrenIsAnErrorNamingTheNode) {
  const auto parallel = [](const std::string& max) {
    return "<ParallelAll name=\"p\" max_failures=\"" + max + "\">" + leaf("A", "S") +
           leaf("B", "S") + "</ParallelAll>";
  };
  const std::string text =
      "node 'p' (ParallelAll): max_failures {} does not fit its 2 children "
      "(use 0..2 or -1 for all)";
  const auto message = [&text](const std::string& value) {
    std::string m = text;
    return m.replace(m.find("{}"), 2, value);
  };
  EXPECT_NE(build_error(parallel("3")).find(message("3")), std::string::npos);
  EXPECT_NE(build_error(parallel("-4")).find(message("-4")), std::string::npos);
  EXPECT_NE(build_error(parallel("many"))
                .find("node 'p' (ParallelAll): port 'max_failures' "
                      "expects an integer, got 'many'"),
            std::string::npos);
  EXPECT_EQ(build_error(parallel("2")), "");
  EXPECT_EQ(build_error(parallel("-3")), "");  // 2 + 1 - 3 = 0
  EXPECT_EQ(tick_error(parallel("{m}"), "m", 5), message("5"));
  EXPECT_EQ(tick_error(parallel("{m}"), "m", std::string("2")), "");
}

TEST(TryCatchTest, RunsTheCatchAfterTheFirstFailureOfTheTryBlock) {
  const auto try_catch = [](const std::string& a, const std::string& b, const std::string& c) {
    return "<TryCatch>" + leaf("A", a) + leaf("B", b) + leaf("C", c) + "</TryCatch>";
  };
  run_cases({
      {"all succeed: the catch never runs", try_catch("S", "S", "S"), {{S, "A B"}, {S, "A B"}}},
      {"a failure runs the catch in the same tick, then FAILURE",
       try_catch("S", "F", "S"),
       {{F, "A B C"}}},
      {"a failing catch still gives FAILURE", try_catch("F", "S", "F"), {{F, "A C"}}},
      {"a running try child is resumed",
       try_catch("R,S", "R,F", "S"),
       {{R, "A"}, {R, "A B"}, {F, "B C"}}},
      {"a running catch is ticked until it completes",
       try_catch("F", "S", "R,R,S"),
       {{R, "A C"}, {R, "C"}, {F, "C"}, {F, "A C"}}},
      {"skipped try children are passed over", try_catch("K", "S", "S"), {{S, "A B"}}},
      {"all try children skipped: SKIPPED", try_catch("K", "K", "S"), {{K, "A B"}}},
      {"a skipped catch: FAILURE", try_catch("F", "S", "K"), {{F, "A C"}}},
      {"two children: one try child and the catch",
       "<TryCatch>" + leaf("A", "F,S") + leaf("C", "S") + "</TryCatch>",
       {{F, "A C"}, {S, "A"}}},
  });
}

TEST(TryCatchTest, HaltRunsTheCatchOnceOnlyWhenAskedAndTheTryBlockRuns) {
  const auto try_catch = [](const std::string& on_halt, const std::string& a,
                            const std::string& c) {
    return guarded("F,S,F", "<TryCatch" +
                                (on_halt.empty() ? "" : " catch_on_halt=\"" + on_halt + "\"") +
                                ">" + leaf("A", a) + leaf("C", c) + "</TryCatch>");
  };
  run_cases({
      {"by default a halt only halts the try block",
       try_catch("", "R", "S"),
       {{R, "G A"}, {S, "G ~A"}, {R, "G A"}}},
      {"catch_on_halt false", try_catch("false", "R", "S"), {{R, "G A"}, {S, "G ~A"}}},
      {"catch_on_halt ticks the catch once",
       try_catch("true", "R", "S"),
       {{R, "G A"}, {S, "G ~A C"}, {R, "G A"}}},
      {"a catch that runs is halted at once",
       try_catch("true", "R", "R"),
       {{R, "G A"}, {S, "G ~A C ~C"}, {R, "G A"}}},
      {"a halt while the catch runs only halts it",
       try_catch("true", "F", "R"),
       {{R, "G A C"}, {S, "G ~C"}, {R, "G A C"}}},
  });
}

TEST(TryCatchTest, FewerThanTwoChildrenOrABadFlagFailTheBuildNamingTheNode) {
  EXPECT_NE(build_error("<TryCatch name=\"t\">" + leaf("A", "S") + "</TryCatch>")
                .find("node 't' (TryCatch): needs at least 2 children (Control node), has 1"),
            std::string::npos);
  EXPECT_NE(build_error("<TryCatch name=\"t\" catch_on_halt=\"maybe\">" + leaf("A", "S") +
                        leaf("C", "S") + "</TryCatch>")
                .find("node 't' (TryCatch): port 'catch_on_halt' expects true or false, got "
                      "'maybe'"),
            std::string::npos);
}

TEST(AsyncControlsTest, EndTheTickAfterEachChildThatCompletedInIt) {
  const auto async = [](const std::string& id, const std::string& a, const std::string& b,
                        const std::string& c) {
    return "<" + id + ">" + leaf("A", a) + leaf("B", b) + leaf("C", c) + "</" + id + ">";
  };
  run_cases({
      {"AsyncSequence: one child per tick",
       async("AsyncSequence", "S", "S", "S"),
       {{R, "A"}, {R, "B"}, {S, "C"}, {R, "A"}}},
      {"AsyncSequence: a failure ends the run",
       async("AsyncSequence", "S", "F", "S"),
       {{R, "A"}, {F, "B"}, {R, "A"}}},
      {"AsyncSequence: a child that was running goes straight on",
       async("AsyncSequence", "R,S", "S", "S"),
       {{R, "A"}, {R, "A B"}, {S, "C"}}},
      {"AsyncSequence: skipped children do not end the tick",
       async("AsyncSequence", "K", "K", "S"),
       {{S, "A B C"}}},
      {"AsyncSequence: all skipped", async("AsyncSequence", "K", "K", "K"), {{K, "A B C"}}},
      {"AsyncFallback: one child per tick",
       async("AsyncFallback", "F", "F", "F"),
       {{R, "A"}, {R, "B"}, {F, "C"}}},
      {"AsyncFallback: a success ends the run",
       async("AsyncFallback", "F", "S", "F"),
       {{R, "A"}, {S, "B"}, {R, "A"}}},
      {"a reactive parent re-checks its condition between steps",
       "<ReactiveSequence>" + leaf("G", "S,S,F") + async("AsyncSequence", "S", "S", "S") +
           "</ReactiveSequence>",
       {{R, "G A"}, {R, "G B"}, {F, "G"}}},
      {"a halt halts the running child; the next run starts at child 1",
       guarded("F,F,S,F", async("AsyncSequence", "S", "R", "S")),
       {{R, "G A"}, {R, "G B"}, {S, "G ~B"}, {R, "G A"}}},
  });
}

TEST(OlderNamesTest, SequenceStarAndTheMisspeltRetryAreAliases) {
  run_cases({
      {"SequenceStar resumes at the failed child",
       "<SequenceStar>" + leaf("A", "S") + leaf("B", "F,S") + "</SequenceStar>",
       {{F, "A B"}, {S, "B"}}},
      {"RetryUntilSuccesful retries",
       "<RetryUntilSuccesful num_attempts=\"3\">" + leaf("A", "F,F,S") + "</RetryUntilSuccesful>",
       {{S, "A A A"}}},
  });
}

}  // namespace
}  // namespace kelmora::testing
