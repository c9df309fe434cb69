// The navigation controls and decorators of navigation_nodes.hpp, written as user node classes:
// their documented behaviour tick by tick (which children each tick reaches, what it returns,
// which running children get halted), on a SequentialEngine and, for one tree, a ThreadEngine.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"
#include "scripted_leaf.hpp"
#include "navigation_nodes.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;
using core::NodeStatus;
using engine::SequentialEngine;
using navigation::PipelineSequence;
using navigation::RateController;
using navigation::RecoveryNode;
using navigation::RoundRobin;

// A clock the test moves: seconds since the test began.
double g_seconds = 0;

template <class Registry>
void register_navigation(Registry& registry) {
  registry.template register_node_class<RecoveryNode>();
  registry.template register_node_class<PipelineSequence>();
  registry.template register_node_class<RoundRobin>();
  registry.template register_node_class<RateController>();
  registry.template register_node_class<Scripted>();
}

// One tick: the clock is set to `at` seconds, then the tree ticks (or, for `reset`, is reset and
// then ticked), giving `status` and reaching the leaves in `trace`.
struct Step {
  NodeStatus status;
  std::string trace;
  double at = 0;
  bool reset = false;
};

struct Case {
  std::string name;
  std::string body;
  std::vector<Step> steps;
};

// "<Scripted name="A" script="F,S"/>"
std::string leaf(const std::string& name, const std::string& script) {
  return "<Scripted name=\"" + name + "\" script=\"" + script + "\"/>";
}

void run_cases(const std::vector<Case>& cases) {
  RateController::now = [] {
    return RateController::Clock::time_point(
        std::chrono::duration_cast<RateController::Clock::duration>(
            std::chrono::duration<double>(g_seconds)));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_seconds = 0;
    {
      SequentialEngine engine;
      register_navigation(engine);
      engine.create_tree_from_text(main_tree(c.body));
      for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("tick " + std::to_string(i + 1));
        const Step& step = c.steps[i];
        g_seconds = step.at;
        if (step.reset) engine.reset_tree();
        EXPECT_EQ(engine.tick_once(), step.status);
        EXPECT_EQ(take_trace(), step.trace);
      }
    }
    take_trace();  // halts as the engine goes
  }
}

TEST(NavigationNodesTest, RecoveryNodeRetriesTheActionAfterEachRecovery) {
  const auto recovery = [](const std::string& retries, const std::string& action,
                           const std::string& fix) {
    return "<RecoveryNode" + (retries.empty() ? "" : " number_of_retries=\"" + retries + "\"") +
           ">" + leaf("A", action) + leaf("Fix", fix) + "</RecoveryNode>";
  };
  run_cases({
      {"the action succeeds at once", recovery("", "S", "S"), {{S, "A"}, {S, "A"}}},
      {"fails, recovers, succeeds on the retry", recovery("", "F,S", "S"), {{S, "A Fix A"}}},
      {"one retry by default, then FAILURE", recovery("", "F", "S"), {{F, "A Fix A"}}},
      {"number_of_retries retries", recovery("3", "F", "S"), {{F, "A Fix A Fix A Fix A"}}},
      {"no retry at all", recovery("0", "F", "S"), {{F, "A"}}},
      {"a failed recovery fails at once", recovery("5", "F", "F"), {{F, "A Fix"}}},
      {"running action and recovery span ticks",
       recovery("2", "R,F,R,S", "R,S"),
       {{R, "A"}, {R, "A Fix"}, {R, "Fix A"}, {S, "A"}}},
      {"the retry count starts afresh each run",
       recovery("1", "F,F,F,S", "S"),
       {{F, "A Fix A"}, {S, "A Fix A"}}},
      {"a skipped action ends the node; a skipped recovery counts as done",
       recovery("1", "F,K", "K"),
       {{K, "A Fix A"}}},
      {"halted while recovering: the run starts again with the action",
       recovery("1", "F,S", "R"),
       {{R, "A Fix"}, {S, "~Fix A", 0, true}}},
  });
}

TEST(NavigationNodesTest, PipelineSequenceReticksEarlierChildrenWhileALaterOneRuns) {
  const auto pipeline = [](const std::string& a, const std::string& b, const std::string& c) {
    return "<PipelineSequence>" + leaf("A", a) + leaf("B", b) + leaf("C", c) +
           "</PipelineSequence>";
  };
  run_cases({
      {"reaches one child further each time the furthest succeeds",
       pipeline("R,S", "R,S", "R,S"),
       {{R, "A"}, {R, "A B"}, {R, "A B C"}, {S, "A B C"}, {S, "A B C"}}},
      {"a running earlier child does not hold the later ones back",
       pipeline("S,R,R,R,S", "R", "S"),
       {{R, "A B"}, {R, "A B"}, {R, "A B"}}},
      {"a running child first reached stops the tick",
       pipeline("S", "R,R,S", "R"),
       {{R, "A B"}, {R, "A B"}, {R, "A B C"}}},
      {"a failing earlier child fails it and halts the running later one",
       pipeline("S,F", "R", "S"),
       {{R, "A B"}, {F, "A ~B"}, {F, "A"}}},
      {"a failing furthest child fails it and halts the running earlier one",
       pipeline("S,R", "R,F", "S"),
       {{R, "A B"}, {F, "A B ~A"}}},
      {"a reset starts from the first child again",
       pipeline("S", "S,R", "R"),
       {{R, "A B C"}, {R, "~C A B", 0, true}}},
  });
}

TEST(NavigationNodesTest, RoundRobinGivesEachChildItsTurn) {
  const auto robin = [](const std::string& a, const std::string& b, const std::string& c) {
    return "<RoundRobin>" + leaf("A", a) + leaf("B", b) + leaf("C", c) + "</RoundRobin>";
  };
  run_cases({
      {"one child per tick, in turn",
       robin("S", "S", "S"),
       {{S, "A"}, {S, "B"}, {S, "C"}, {S, "A"}}},
      {"a failure passes the turn on within the tick",
       robin("F", "S", "S"),
       {{S, "A B"}, {S, "C"}, {S, "A B"}}},
      {"FAILURE when all failed in one round, then the round goes on",
       robin("F", "F,S", "F"),
       {{F, "A B C"}, {S, "A B"}, {S, "C A B"}}},
      {"a running child keeps its turn", robin("R,S", "S", "S"), {{R, "A"}, {S, "A"}, {S, "B"}}},
      {"failures in a row are counted across ticks",
       robin("F", "R,F", "F"),
       {{R, "A B"}, {F, "B C"}}},
      {"a success clears the count", robin("F", "S,F", "F,R"), {{S, "A B"}, {F, "C A B"}}},
      {"a halt gives the turn back to the first child",
       robin("S", "R", "S"),
       {{S, "A"}, {R, "B"}, {S, "~B A", 0, true}}},
  });
}

TEST(NavigationNodesTest, RateControllerTicksItsChildAtMostAtItsRate) {
  const auto rate = [](const std::string& hz, const std::string& script) {
    return "<RateController" + (hz.empty() ? "" : " hz=\"" + hz + "\"") + ">" + leaf("A", script) +
           "</RateController>";
  };
  run_cases({
      {"between periods: the child's last result, not ticked",
       rate("1", "S,F"),
       {{S, "A", 0}, {S, "", 0.5}, {S, "", 0.99}, {F, "A", 1.0}, {F, "", 1.5}, {F, "A", 2.5}}},
      {"ten a second by default", rate("", "F"), {{F, "A", 0}, {F, "", 0.05}, {F, "A", 0.15}}},
      {"a running child is ticked at the rate too",
       rate("2", "R,R,S"),
       {{R, "A", 0}, {R, "", 0.2}, {R, "A", 0.5}, {R, "", 0.9}, {S, "A", 1.0}, {S, "", 1.1}}},
      {"a halted decorator ticks its child at once",
       rate("1", "S"),
       {{S, "A", 0}, {S, "A", 0.1, true}}},
      {"a running child halted by a reset", rate("1", "R"), {{R, "A", 0}, {R, "~A A", 0.1, true}}},
  });
}

TEST(NavigationNodesTest, NodesTogetherAsInANavigationTree) {
  // Replan at 1 Hz while following the path; when following fails, clear the map and retry.
  const std::string body =
      "<RecoveryNode number_of_retries=\"1\"><PipelineSequence>"
      "<RateController hz=\"1\">" +
      leaf("Plan", "S") + "</RateController>" + leaf("Follow", "R,R,R,F,R,S") +
      "</PipelineSequence>" + leaf("Clear", "S") + "</RecoveryNode>";
  run_cases(
      {{"replan, follow, recover",
        body,
        {{R, "Plan Follow", 0},
         {R, "Follow", 0.5},
         {R, "Plan Follow", 1.0},
         {R, "Follow Clear Plan Follow", 1.2},  // Follow failed, the map was cleared, a new plan
         {S, "Follow", 1.4}}}});
}

TEST(NavigationNodesTest, BadStructureAndPortsNameTheNode) {
  struct BadCase {
    std::string body;
    bool at_build;
    std::string message;
  };
  const std::vector<BadCase> cases = {
      {"<RecoveryNode name=\"r\">" + leaf("A", "S") + "</RecoveryNode>", true,
       "<xml text>:1: node 'r' (RecoveryNode): needs exactly 2 children (the action and its "
       "recovery), has 1"},
      {"<RecoveryNode name=\"r\" number_of_retries=\"-1\">" + leaf("A", "F") + leaf("B", "S") +
           "</RecoveryNode>",
       false, "node 'r' (RecoveryNode): number_of_retries must not be negative"},
      {"<RateController name=\"c\" hz=\"0\">" + leaf("A", "S") + "</RateController>", false,
       "node 'c' (RateController): hz must be a positive number, not '0'"},
      {"<RateController name=\"c\" hz=\"fast\">" + leaf("A", "S") + "</RateController>", false,
       "node 'c' (RateController): hz must be a positive number, not 'fast'"},
      {"<RoundRobin name=\"rr\"/>", true,
       "<xml text>:1: node 'rr' (RoundRobin): needs at least 1 child (Control node), has 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    SequentialEngine engine;
    register_navigation(engine);
    try {
      engine.create_tree_from_text(main_tree(c.body));
      engine.tick_once();
      ADD_FAILURE() << "no error";
    } catch (const core::TreeBuildError& e) {
      EXPECT_TRUE(c.at_build);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    } catch (const core::NodeTickError& e) {
      EXPECT_FALSE(c.at_build);
      EXPECT_EQ(e.what(), c.message);
    }
    take_trace();
  }
}

TEST(NavigationNodesTest, ThreadEngineTreesRunThemAndHaltOnStop) {
  engine::trigger::ThreadEngine engine;
  register_navigation(engine);
  const std::string tree = engine.create_tree_from_text(
      main_tree("<RoundRobin><PipelineSequence>" + leaf("A", "S") + leaf("B", "R") +
                "</PipelineSequence>" + leaf("C", "S") + "</RoundRobin>"));
  EXPECT_EQ(engine.tick_once(tree), R);
  EXPECT_EQ(engine.tick_once(tree), R);
  engine.stop_tree(tree);  // the worker halts the running tree as it ends
  EXPECT_EQ(take_trace(), "A B A B ~B");
}

}  // namespace
}  // namespace kelmora::testing
