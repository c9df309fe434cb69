// Status changes of a tree's nodes: the transitions recorded while an observer wants them, the
// per-node counters of the status map, and Graphviz pictures of trees.

#include <gtest/gtest.h>

#include <kelmora/core/dot.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/transitions.hpp>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;
using core::NodeStatus;

// "uid:PREVIOUS>NEW" for each transition of a step, joined by spaces.
std::string describe(const std::vector<core::Transition>& transitions) {
  std::string out;
  for (const auto& t : transitions) {
    if (!out.empty()) out += ' ';
    out += std::to_string(t.node) + ":" + std::string(core::to_string(t.previous)) + ">" +
           std::string(core::to_string(t.status));
  }
  return out;
}

// An engine whose step hook records every step's transitions (recording switched on at build).
struct Recorded {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  std::vector<std::string> steps;

  Recorded() {
    engine.set_step_hook([this](core::Tree& tree, engine::SequentialEngine::StepPoint point) {
      tree.transitionLog().set_recording(true);
      if (point == engine::SequentialEngine::StepPoint::kBefore) return;
      steps.push_back(describe(tree.transitionLog().pending()));
      tree.transitionLog().clear();
    });
  }
};

TEST(TransitionsTest, EveryStatusChangeIsOneTransitionInOrder) {
  struct Case {
    std::string name;
    std::string body;
    std::map<std::string, std::vector<NodeStatus>> scripts;
    std::vector<std::string> ticks;  // the transitions of each tick
  };
  const std::vector<Case> cases = {
      {"sequence of two",
       "<Sequence><A/><B/></Sequence>",
       {{"A", {S}}, {"B", {R, S}}},
       {"0:IDLE>RUNNING 1:IDLE>SUCCESS 2:IDLE>RUNNING",
        "2:RUNNING>SUCCESS 1:SUCCESS>IDLE 2:SUCCESS>IDLE 0:RUNNING>SUCCESS"}},
      {"fallback over a failure",
       "<Fallback><A/><B/></Fallback>",
       {{"A", {F}}, {"B", {S}}},
       {"0:IDLE>RUNNING 1:IDLE>FAILURE 2:IDLE>SUCCESS 1:FAILURE>IDLE 2:SUCCESS>IDLE "
        "0:RUNNING>SUCCESS",
        "0:SUCCESS>RUNNING 1:IDLE>FAILURE 2:IDLE>SUCCESS 1:FAILURE>IDLE 2:SUCCESS>IDLE "
        "0:RUNNING>SUCCESS"}},
      {"a leaf root that keeps its status changes nothing",
       "<A/>",
       {{"A", {S}}},
       {"0:IDLE>SUCCESS", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorded r;
    for (const auto& [id, script] : c.scripts) r.actions.add(r.engine, id, script);
    r.engine.create_tree_from_text(main_tree(c.body));
    ASSERT_EQ(r.steps, std::vector<std::string>{""});  // the build: nothing changed yet
    for (std::size_t i = 0; i < c.ticks.size(); ++i) {
      r.engine.tick_once();
      EXPECT_EQ(r.steps.back(), c.ticks[i]) << "tick " << i + 1;
    }
  }
}

TEST(TransitionsTest, HaltsAndThrowingTicksAreStepsWithTheirTransitions) {
  Recorded r;
  r.actions.add(r.engine, "A", {R});
  r.engine.register_action_behavior(
      "Boom", [](core::TreeNode&) -> NodeStatus { throw std::runtime_error("boom"); }, {});
  r.engine.create_tree_from_text(main_tree("<Parallel success_count=\"2\"><A/><Boom/></Parallel>"));
  EXPECT_THROW(r.engine.tick_once(), core::NodeTickError);
  // A started, Boom threw (RUNNING until halted), then the tree was halted.
  EXPECT_EQ(r.steps.back(),
            "0:IDLE>RUNNING 1:IDLE>RUNNING 2:IDLE>RUNNING 1:RUNNING>IDLE 2:RUNNING>IDLE "
            "0:RUNNING>IDLE");
  r.engine.reset_tree();
  EXPECT_EQ(r.steps.back(), "");
}

TEST(TransitionsTest, TransitionsCarryTheirTimeAndTheTimeOfTheChangeBefore) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {R, S});
  std::vector<core::Transition> seen;
  engine.set_step_hook([&seen](core::Tree& tree, engine::SequentialEngine::StepPoint) {
    tree.transitionLog().set_recording(true);
    for (const auto& t : tree.transitionLog().pending()) seen.push_back(t);
    tree.transitionLog().clear();
  });
  engine.create_tree_from_text(main_tree("<A/>"));
  engine.tick_once();
  engine.tick_once();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].since, core::TransitionLog::Clock::time_point{});  // its first change
  EXPECT_EQ(seen[1].since, seen[0].time);
  EXPECT_LE(seen[0].time, seen[1].time);
}

TEST(TransitionsTest, NothingIsLoggedWhileRecordingIsOff) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  std::size_t pending = 0;
  engine.set_step_hook([&pending](core::Tree& tree, engine::SequentialEngine::StepPoint) {
    pending += tree.transitionLog().pending().size();
  });
  engine.create_tree_from_text(main_tree("<Sequence><A/><A/></Sequence>"));
  engine.tick_n_times(10);
  EXPECT_EQ(pending, 0u);
}

// The counters of each node in the status map, in depth-first order.
std::vector<std::vector<std::int64_t>> counters(engine::SequentialEngine& engine) {
  std::vector<std::vector<std::int64_t>> all;
  for (const auto& node :
       std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"))) {
    std::vector<std::int64_t> row;
    for (const char* key :
         {"uid", "tick_count", "success_count", "failure_count", "skip_count", "halt_count"}) {
      row.push_back(std::any_cast<std::int64_t>(node.at(key)));
    }
    all.push_back(row);
  }
  return all;
}

TEST(TransitionsTest, StatusMapCountsTicksResultsAndHaltsPerNode) {
  // Rows: uid, tick_count, success_count, failure_count, skip_count, halt_count.
  struct Case {
    std::string name;
    std::string body;
    std::map<std::string, std::vector<NodeStatus>> scripts;
    int ticks;
    std::vector<std::vector<std::int64_t>> counters;
  };
  const std::vector<Case> cases = {
      {"each result of a leaf", "<A/>", {{"A", {S, F, K, R}}}, 4, {{0, 4, 1, 1, 1, 0}}},
      {"a sequence resumes its running child",
       "<Sequence><A/><Sequence name=\"inner\"><B/></Sequence></Sequence>",
       {{"A", {S}}, {"B", {R, R, S}}},
       3,
       {{0, 3, 1, 0, 0, 0}, {1, 1, 1, 0, 0, 0}, {2, 3, 1, 0, 0, 0}, {3, 3, 1, 0, 0, 0}}},
      {"a reactive sequence halts its running child",
       "<ReactiveSequence><C/><A/></ReactiveSequence>",
       {{"C", {S, F}}, {"A", {R}}},
       2,
       {{0, 2, 0, 1, 0, 0}, {1, 2, 1, 1, 0, 0}, {2, 1, 0, 0, 0, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine::SequentialEngine engine;
    ScriptedActions actions;
    for (const auto& [id, script] : c.scripts) actions.add(engine, id, script);
    engine.create_tree_from_text(main_tree(c.body));
    for (int i = 0; i < c.ticks; ++i) engine.tick_once();
    EXPECT_EQ(counters(engine), c.counters);
    engine.reset_tree();  // counters restart
    for (const auto& row : counters(engine)) {
      EXPECT_EQ(row, (std::vector<std::int64_t>{row[0], 0, 0, 0, 0, 0}));
    }
  }
}

TEST(TransitionsTest, LastChangeIsAWallClockTimeOnceTheNodeChanged) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.create_tree_from_text(main_tree("<Sequence><A/></Sequence>"));
  auto last_change = [&engine](std::size_t index) {
    auto nodes = std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"));
    return std::any_cast<std::int64_t>(nodes.at(index).at("last_change_us"));
  };
  EXPECT_EQ(last_change(1), 0);
  const auto now_us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  engine.tick_once();
  EXPECT_GE(last_change(1), now_us - 60'000'000);  // within a minute of now: a wall-clock time
  EXPECT_LE(last_change(1), now_us + 60'000'000);
}

TEST(TransitionsTest, StatusMapKeepsItsEarlierKeys) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.create_tree_from_text(main_tree("<A name=\"a\"/>"));
  engine.tick_once();
  auto nodes = std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"));
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(std::any_cast<std::string>(nodes[0].at("name")), "a");
  EXPECT_EQ(std::any_cast<std::string>(nodes[0].at("id")), "A");
  EXPECT_EQ(std::any_cast<std::string>(nodes[0].at("kind")), "Action");
  EXPECT_EQ(std::any_cast<std::string>(nodes[0].at("status")), "SUCCESS");
  EXPECT_EQ(std::any_cast<std::int64_t>(nodes[0].at("depth")), 0);
}

// --- Graphviz ----------------------------------------------------------------------------------

TEST(DotTest, PicturesNodesWithKindsNamesPortsStatusesAndEdges) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {R});
  engine.register_action_behavior("Say", [](core::TreeNode&) { return S; },
                                  {core::make_port("text", "string", "input")});
  engine.create_tree_from_text(
      main_tree("<Sequence name=\"root \\&quot;quoted\\&quot;\"><Say text=\"{msg}\"/>"
                "<Inverter><A name=\"work\"/></Inverter></Sequence>"));
  engine.tick_once();
  const std::string dot = core::to_dot(engine.held_tree());
  for (const char* expected : {
           "digraph \"MainTree\" {",
           "n0 [label=\"[Control] Sequence\\n\\\"root \\\\\\\"quoted\\\\\\\"\\\"\\nRUNNING\"",
           "n1 [label=\"[Action] Say\\ntext = {msg}\\nSUCCESS\", shape=box",
           "n2 [label=\"[Decorator] Inverter\\nRUNNING\", shape=hexagon",
           "n3 [label=\"[Action] A\\n\\\"work\\\"\\nRUNNING\"",
           "fillcolor=\"#ffd54f\"",
           "n0 -> n1;",
           "n0 -> n2;",
           "n2 -> n3;",
       }) {
    EXPECT_NE(dot.find(expected), std::string::npos) << expected << "\nin\n" << dot;
  }
  EXPECT_EQ(dot.back(), '\n');
  EXPECT_EQ(dot.substr(dot.size() - 2), "}\n");
}

TEST(DotTest, QuotingEscapesQuotesBackslashesAndLineBreaks) {
  EXPECT_EQ(core::dot_quoted("a\"b\\c\nd\re"), "\"a\\\"b\\\\c\\nde\"");
  EXPECT_EQ(core::dot_quoted(""), "\"\"");
}

TEST(DotTest, AnEmptyTreeIsAnEmptyGraph) {
  core::Tree tree;
  EXPECT_EQ(core::to_dot(tree, "g"),
            "digraph \"g\" {\n  rankdir=TB;\n  node [fontname=\"Helvetica\", fontsize=10];\n}\n");
}

}  // namespace
}  // namespace kelmora::testing
