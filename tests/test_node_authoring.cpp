// Nodes written by a user in C++: a control and leaves derived from the core's base classes, put
// together by hand the way the tree builder does it (addChild in order, then validate), and the
// contracts the core keeps around them: halts reach running nodes only, a node whose tick threw
// is halted, errors name the node and keep the original exception, leaves refuse children.

#include <gtest/gtest.h>

#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;

using core::NodeStatus;

// What the nodes of one test did, in order: "tick A", "halt A", "halt RR".
using Journal = std::vector<std::string>;

struct SensorError : std::runtime_error {
  explicit SensorError(int c) : std::runtime_error("sensor down"), code(c) {}
  int code;
};

// A leaf returning a scripted status per tick (the last one repeats); "throw" ticks throw.
class ScriptLeaf : public core::TreeNode {
 public:
  ScriptLeaf(std::string name, std::vector<NodeStatus> script, Journal& journal,
             int throw_on_tick = -1)
      : TreeNode(core::NodeConfig{name, "Script", nullptr, {}, nullptr, nullptr, nullptr}),
        script_(std::move(script)),
        journal_(journal),
        throw_on_tick_(throw_on_tick) {}
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  NodeStatus onTick() override {
    journal_.push_back("tick " + name());
    if (ticks_ == throw_on_tick_) throw SensorError(7);
    return script_.at(std::min(ticks_++, static_cast<int>(script_.size()) - 1));
  }
  void onHalt() override { journal_.push_back("halt " + name()); }

 private:
  std::vector<NodeStatus> script_;
  Journal& journal_;
  int ticks_ = 0;
  int throw_on_tick_;
};

// A round robin as users write it: ticks the current child; FAILURE moves on to the next child in
// the same tick; SUCCESS halts every child and the next run starts at the following child; all
// children failed: FAILURE. Needs at least two children (checked by validate()).
class RoundRobin : public nodes::ControlNode {
 public:
  RoundRobin(Journal& journal, bool throw_after_running = false)
      : ControlNode(core::NodeConfig{"rr", "RoundRobin", nullptr, {}, nullptr, nullptr, nullptr}),
        journal_(journal),
        throw_after_running_(throw_after_running) {}

  void validate() override {
    if (childrenCount() < 2) throw core::TreeBuildError(describe() + ": needs two children");
  }

 protected:
  NodeStatus onTick() override {
    setStatus(R);
    while (failures_ < childrenCount()) {
      const NodeStatus result = child(current_).executeTick();
      if (result == R) {
        if (throw_after_running_) throw std::logic_error("the robin lost count");
        return R;
      }
      if (result == S) {
        haltChildren();
        current_ = (current_ + 1) % childrenCount();
        failures_ = 0;
        return S;
      }
      haltChild(current_);
      ++failures_;
      current_ = (current_ + 1) % childrenCount();
    }
    haltChildren();
    failures_ = 0;
    return F;
  }
  void onHalt() override {
    journal_.push_back("halt rr");
    failures_ = 0;
  }

 private:
  Journal& journal_;
  bool throw_after_running_;
  std::size_t current_ = 0;
  std::size_t failures_ = 0;
};

struct Built {
  core::Tree tree;
  RoundRobin* control;
};

// Assembles rr(A, B, C) as the builder would, with the leaves' scripts.
Built build(Journal& journal, const std::map<std::string, std::vector<NodeStatus>>& scripts,
            bool throw_after_running = false, int a_throws_on_tick = -1) {
  auto root = std::make_unique<RoundRobin>(journal, throw_after_running);
  RoundRobin* control = root.get();
  for (const auto& [name, script] : scripts) {
    root->addChild(
        std::make_unique<ScriptLeaf>(name, script, journal, name == "A" ? a_throws_on_tick : -1));
  }
  root->validate();
  return {core::Tree(std::move(root), core::Blackboard::create(),
                     std::make_shared<core::TreeTimers>(), "Robin"),
          control};
}

std::vector<NodeStatus> statuses(const core::Tree& tree) {
  std::vector<NodeStatus> all;
  for (const core::TreeNode* node : tree.nodes()) all.push_back(node->status());
  return all;
}

struct RobinCase {
  std::string name;
  std::map<std::string, std::vector<NodeStatus>> scripts;
  std::vector<NodeStatus> results;  // one per tick
  Journal journal;
};

void PrintTo(const RobinCase& c, std::ostream* os) { *os << c.name; }

class UserControlTest : public ::testing::TestWithParam<RobinCase> {};

TEST_P(UserControlTest, TicksItsChildrenThroughTheCoreApi) {
  const auto& c = GetParam();
  Journal journal;
  Built built = build(journal, c.scripts);
  for (std::size_t i = 0; i < c.results.size(); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    EXPECT_EQ(built.tree.tickOnce(), c.results[i]);
  }
  EXPECT_EQ(journal, c.journal);
}

INSTANTIATE_TEST_SUITE_P(Authoring, UserControlTest,
                         ::testing::Values(
                             // A completed child is set back to IDLE without a halt callback.
                             RobinCase{"SuccessEndsTheRunAndTheNextRunStartsAtTheFollowingChild",
                                       {{"A", {S}}, {"B", {S}}, {"C", {S}}},
                                       {S, S, S, S},
                                       {"tick A", "tick B", "tick C", "tick A"}},
                             RobinCase{
                                 "FailureMovesOnWithinTheTick",
                                 {{"A", {F}}, {"B", {F}}, {"C", {S, F}}},
                                 {S, F},
                                 {"tick A", "tick B", "tick C", "tick A", "tick B", "tick C"}},
                             RobinCase{"RunningChildIsTickedAgainNextTick",
                                       {{"A", {R, R, S}}, {"B", {S}}, {"C", {S}}},
                                       {R, R, S, S},
                                       {"tick A", "tick A", "tick A", "tick B"}}),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(UserControlTest, HaltingTheTreeCallsOnHaltOnlyForRunningNodes) {
  Journal journal;
  Built built = build(journal, {{"A", {F}}, {"B", {R}}, {"C", {S}}});
  EXPECT_EQ(built.tree.tickOnce(), R);
  EXPECT_EQ(statuses(built.tree), (std::vector<NodeStatus>{R, I, R, I}))
      << "A failed and was halted by the control; B runs";
  journal.clear();
  built.tree.haltTree();
  EXPECT_EQ(journal, (Journal{"halt rr", "halt B"}));
  EXPECT_EQ(statuses(built.tree), (std::vector<NodeStatus>{I, I, I, I}));
}

TEST(UserControlTest, ATickThatThrowsHaltsWhatTheNodeStarted) {
  Journal journal;
  Built built = build(journal, {{"A", {R}}, {"B", {S}}, {"C", {S}}}, /*throw_after_running=*/true);
  try {
    built.tree.tickOnce();
    FAIL() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_STREQ(e.what(), "node 'rr' (RoundRobin): the robin lost count");
  }
  // The control threw on its first tick, with A running: the tree halted both.
  EXPECT_EQ(journal, (Journal{"tick A", "halt rr", "halt A"}));
  EXPECT_EQ(statuses(built.tree), (std::vector<NodeStatus>{I, I, I, I}));
}

TEST(UserControlTest, ATickErrorNamesTheNodeAndKeepsTheOriginalExceptionNested) {
  Journal journal;
  Built built = build(journal, {{"A", {S}}, {"B", {S}}, {"C", {S}}}, false, /*A throws*/ 0);
  try {
    built.tree.tickOnce();
    FAIL() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_STREQ(e.what(), "node 'A' (Script): sensor down");
    EXPECT_EQ(e.code(), Errc::node_tick);
    try {
      std::rethrow_if_nested(e);
      FAIL() << "nothing nested";
    } catch (const SensorError& original) {
      EXPECT_EQ(original.code, 7);
    }
  }
}

TEST(UserControlTest, ValidateRefusesWhatTheControlCannotRun) {
  Journal journal;
  RoundRobin lonely(journal);
  lonely.addChild(std::make_unique<ScriptLeaf>("A", std::vector<NodeStatus>{S}, journal));
  try {
    lonely.validate();
    FAIL() << "no error";
  } catch (const core::TreeBuildError& e) {
    EXPECT_STREQ(e.what(), "node 'rr' (RoundRobin): needs two children");
  }
}

TEST(NodeChildrenTest, LeavesRefuseChildrenAndDecoratorsASecondOne) {
  Journal journal;
  ScriptLeaf leaf("A", {S}, journal);
  try {
    leaf.addChild(std::make_unique<ScriptLeaf>("B", std::vector<NodeStatus>{S}, journal));
    FAIL() << "no error";
  } catch (const core::TreeBuildError& e) {
    EXPECT_STREQ(e.what(), "node 'A' (Script): this node type cannot hold children");
  }

  struct Pass : nodes::DecoratorNode {
    Pass()
        : DecoratorNode(core::NodeConfig{"pass", "Pass", nullptr, {}, nullptr, nullptr, nullptr}) {}
    NodeStatus onTick() override { return child().executeTick(); }
  } pass;
  EXPECT_THROW(pass.addChild(nullptr), std::invalid_argument);
  pass.addChild(std::make_unique<ScriptLeaf>("B", std::vector<NodeStatus>{S}, journal));
  EXPECT_THROW(
      pass.addChild(std::make_unique<ScriptLeaf>("C", std::vector<NodeStatus>{S}, journal)),
      core::TreeBuildError);
  EXPECT_EQ(pass.childrenCount(), 1u);
  EXPECT_EQ(pass.child().name(), "B");
  EXPECT_THROW((void)pass.child(1), std::out_of_range);
}

TEST(NodeChildrenTest, VisitDepthFirstGivesXmlOrderAndDepths) {
  Journal journal;
  Built built = build(journal, {{"A", {S}}, {"B", {S}}, {"C", {S}}});
  std::vector<std::string> seen;
  core::visit_depth_first(*built.tree.rootNode(), [&](const core::TreeNode& node, std::size_t d) {
    seen.push_back(node.name() + "@" + std::to_string(d));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"rr@0", "A@1", "B@1", "C@1"}));
}

TEST(HandBuiltTreeTest, RefusesAMissingRootBlackboardOrTimers) {
  auto blackboard = core::Blackboard::create();
  auto timers = std::make_shared<core::TreeTimers>();
  EXPECT_THROW(core::Tree(nullptr, blackboard, timers, "T"), std::invalid_argument);
  Journal journal;
  auto leaf = [&] {
    return std::make_unique<ScriptLeaf>("A", std::vector<NodeStatus>{S}, journal);
  };
  EXPECT_THROW(core::Tree(leaf(), nullptr, timers, "T"), std::invalid_argument);
  EXPECT_THROW(core::Tree(leaf(), blackboard, nullptr, "T"), std::invalid_argument);
  core::Tree tree(leaf(), blackboard, timers, "T");
  EXPECT_EQ(tree.tickOnce(), S);
  EXPECT_EQ(tree.mainTreeId(), "T");
  EXPECT_EQ(tree.rootBlackboard(), blackboard);
}

}  // namespace
}  // namespace kelmora::testing
