// ThreadEngine construction and action registration, and how registrations reach the workers.

#include <gtest/gtest.h>

#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/engine/trigger/mthread.hpp>

#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using core::PortsList;
using core::TreeNode;
using engine::trigger::ActionClass;
using engine::trigger::ThreadEngine;

// Action node classes as hosts declare them.
namespace sample {

struct Greeter : nodes::SimpleActionNode {
  static NodeStatus tick(TreeNode&) { return NodeStatus::SUCCESS; }
  static inline const PortsList ports = {core::make_port("who", "string", "input"),
                                         core::make_port("out", "object", "output")};
};

struct Silent : nodes::SimpleActionNode {
  static NodeStatus tick(TreeNode&) { return NodeStatus::FAILURE; }
};

struct NotAnAction {
  static NodeStatus tick(TreeNode&) { return NodeStatus::SUCCESS; }
};

struct NoTick : nodes::SimpleActionNode {
  static inline const PortsList ports = {};
};

template <class T>
struct Wrapper : nodes::SimpleActionNode {
  static NodeStatus tick(TreeNode&) { return NodeStatus::SUCCESS; }
};

}  // namespace sample

std::vector<std::string> registered_ids(const ThreadEngine& engine) {
  std::vector<std::string> ids;
  for (const auto& reg : engine.action_registrations()) ids.push_back(std::get<0>(reg));
  return ids;
}

TEST(RegistrationTest, NewEngineLogsOnceAndHoldsNothing) {
  LogCapture log;
  ThreadEngine engine;
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_TRUE(engine.action_registrations().empty());
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "初始化线程引擎"}}));
}

TEST(RegistrationTest, BehaviorIsStoredUnchangedAfterItsLogLine) {
  LogCapture log;
  ThreadEngine engine;
  log.clear();
  int calls = 0;
  PortsList ports = {core::make_port("message", "string", "input")};
  engine.register_action_behavior(
      "Say",
      [&calls](TreeNode&) {
        ++calls;
        return NodeStatus::RUNNING;
      },
      ports);
  engine.register_action_behavior("Empty", nullptr, {});

  auto regs = engine.action_registrations();
  ASSERT_EQ(regs.size(), 2u);
  EXPECT_EQ(std::get<0>(regs[0]), "Say");
  EXPECT_EQ(std::get<2>(regs[0]), ports);
  EXPECT_EQ(calls, 0) << "the engine never calls a tick function itself";
  EXPECT_EQ(std::get<0>(regs[1]), "Empty");
  EXPECT_TRUE(std::get<2>(regs[1]).empty());
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"注册动作节点: Say", "注册动作节点: Empty"}));
}

TEST(RegistrationTest, OneIdRegisteredTwiceIsKeptTwiceInOrder) {
  ThreadEngine engine;
  engine.register_action_behavior("A", nullptr, {});
  engine.register_action_behavior("B", nullptr, {});
  engine.register_action_behavior("A", nullptr, {core::make_port("x", "string", "input")});
  EXPECT_EQ(registered_ids(engine), (std::vector<std::string>{"A", "B", "A"}));
  EXPECT_EQ(std::get<2>(engine.action_registrations()[2]).size(), 1u);
}

TEST(RegistrationTest, ClassRegistersUnderItsOwnNameWithItsTickAndPorts) {
  LogCapture log;
  ThreadEngine engine;
  log.clear();
  engine.register_action_class<sample::Greeter>();
  engine.register_action_class<sample::Silent>("Quiet");

  auto regs = engine.action_registrations();
  ASSERT_EQ(regs.size(), 2u);
  EXPECT_EQ(std::get<0>(regs[0]), "Greeter");
  EXPECT_EQ(std::get<2>(regs[0]), sample::Greeter::ports);
  EXPECT_EQ(std::get<0>(regs[1]), "Quiet") << "an explicit id wins over the class name";
  EXPECT_TRUE(std::get<2>(regs[1]).empty()) << "no ports member: empty list";

  // The stored tick function is the class's static tick.
  ASSERT_TRUE(std::get<1>(regs[1]));
  nodes::SimpleActionNode node(core::NodeConfig{}, nullptr);
  EXPECT_EQ(std::get<1>(regs[1])(node), NodeStatus::FAILURE);
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{"注册动作节点: Greeter", "注册动作节点: Quiet"}));
}

TEST(RegistrationTest, ClassNotDerivedFromSimpleActionNodeIsLoggedAndRejected) {
  LogCapture log;
  ThreadEngine engine;
  log.clear();
  try {
    engine.register_action_class<sample::NotAnAction>();
    FAIL() << "expected TypeError";
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "节点类 NotAnAction 必须继承自SimpleActionNode");
  }
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{{"error", "节点类 NotAnAction 必须继承自SimpleActionNode"}}));
  EXPECT_TRUE(engine.action_registrations().empty());
}

TEST(RegistrationTest, DescriptorsFollowTheSameRulesInOrder) {
  // Hosts describe their classes with an ActionClass: the derivation check comes first, then the
  // tick, then the ports default.
  auto tick = [](TreeNode&) { return NodeStatus::SUCCESS; };
  struct Case {
    const char* label;
    ActionClass cls;
    std::optional<std::string> id;
    const char* error;  // nullptr: registered
    std::vector<LogLine> log;
  };
  const std::vector<Case> cases = {
      {"not derived, no tick: type error first",
       {"Plain", false, std::nullopt, std::nullopt},
       std::nullopt,
       "节点类 Plain 必须继承自SimpleActionNode",
       {{"error", "节点类 Plain 必须继承自SimpleActionNode"}}},
      {"derived without tick: attribute error, nothing logged",
       {"Bare", true, std::nullopt, PortsList{}},
       "Named",
       "action class Bare has no static tick function",
       {}},
      {"derived, no ports",
       {"Lean", true, tick, std::nullopt},
       std::nullopt,
       nullptr,
       {{"info", "注册动作节点: Lean"}}},
      {"empty explicit id: refused like every id the core refuses, nothing logged",
       {"Lean", true, tick, std::nullopt},
       "",
       "cannot register an action with an empty id",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LogCapture log;
    ThreadEngine engine;
    log.clear();
    if (c.error) {
      try {
        engine.register_action_class(c.cls, c.id);
        ADD_FAILURE() << "expected an error";
      } catch (const TypeError& e) {
        EXPECT_STREQ(e.what(), c.error);
      } catch (const AttributeError& e) {
        EXPECT_STREQ(e.what(), c.error);
      } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
      EXPECT_TRUE(engine.action_registrations().empty());
    } else {
      engine.register_action_class(c.cls, c.id);
      ASSERT_EQ(engine.action_registrations().size(), 1u);
      EXPECT_EQ(std::get<0>(engine.action_registrations()[0]), c.id.value_or(c.cls.name));
      EXPECT_TRUE(std::get<2>(engine.action_registrations()[0]).empty());
    }
    EXPECT_EQ(log.lines(), c.log);
  }
}

// Registrations the core refuses are refused when they are made: a ValueError with the core's
// own text, nothing logged, nothing stored, and the trees created afterwards are not affected.
struct RefusedRegistration {
  const char* label;
  std::string action_id;
  PortsList ports;
};

void PrintTo(const RefusedRegistration& c, std::ostream* os) { *os << c.label; }

class RefusedRegistrationTest : public ::testing::TestWithParam<RefusedRegistration> {};

TEST_P(RefusedRegistrationTest, IsAValueErrorWithTheCoresTextAndLeavesNoTrace) {
  const auto& c = GetParam();
  // The core's own answer to the same registration.
  std::string core_text;
  try {
    core::BehaviorTreeFactory().register_action_behavior(c.action_id, nullptr, c.ports);
  } catch (const core::TreeBuildError& e) {
    core_text = e.what();
  }
  ASSERT_FALSE(core_text.empty()) << "the core accepts it";

  LogCapture log;
  ThreadEngine engine;
  engine.register_action_behavior("Fine", [](TreeNode&) { return NodeStatus::SUCCESS; },
                                  {core::make_port("x", "string", "input")});
  log.clear();
  try {
    engine.register_action_behavior(c.action_id, nullptr, c.ports);
    FAIL() << "expected ValueError";
  } catch (const ValueError& e) {
    EXPECT_EQ(e.what(), core_text);
  }
  struct Bad : nodes::SimpleActionNode {
    static NodeStatus tick(TreeNode&) { return NodeStatus::SUCCESS; }
  };
  ActionClass cls = engine::trigger::action_class<Bad>();
  cls.ports = c.ports;
  EXPECT_THROW(engine.register_action_class(cls, c.action_id), ValueError) << "through a class";
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(registered_ids(engine), (std::vector<std::string>{"Fine"}));
  engine.create_tree_from_text(
      R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Fine x="1"/></BehaviorTree></root>)", "a");
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::SUCCESS) << "later trees are not affected";
}

INSTANTIATE_TEST_SUITE_P(
    CoreRules, RefusedRegistrationTest,
    ::testing::Values(
        RefusedRegistration{"PortOfTypeInt", "Act", {core::make_port("n", "int", "input")}},
        RefusedRegistration{"PortNamedName", "Act", {core::make_port("name", "string", "input")}},
        RefusedRegistration{
            "PortNamedWithUnderscore", "Act", {core::make_port("_x", "string", "input")}},
        RefusedRegistration{
            "DirectionSideways", "Act", {core::make_port("p", "string", "sideways")}},
        RefusedRegistration{"PortWithoutDirection", "Act", {{{"name", "p"}, {"type", "string"}}}},
        RefusedRegistration{
            "PortWithoutName", "Act", {{{"type", "string"}, {"direction", "input"}}}},
        RefusedRegistration{
            "PortWithAnUnknownKey",
            "Act",
            {{{"name", "p"}, {"type", "string"}, {"direction", "input"}, {"default", "1"}}}},
        RefusedRegistration{
            "PortDeclaredTwice",
            "Act",
            {core::make_port("p", "string", "input"), core::make_port("p", "object", "output")}},
        RefusedRegistration{"EmptyId", "", {}}, RefusedRegistration{"IdRoot", "root", {}},
        RefusedRegistration{"IdSubTree", "SubTree", {}},
        RefusedRegistration{"IdBehaviorTree", "BehaviorTree", {}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(RegistrationTest, SimpleActionNodeItselfPassesTheDerivationCheck) {
  ThreadEngine engine;
  // It has no static tick, so the check after the derivation check is the one that fails.
  EXPECT_THROW(engine.register_action_class<nodes::SimpleActionNode>(), AttributeError);
  EXPECT_THROW(engine.register_action_class<sample::NoTick>(), AttributeError);
  EXPECT_TRUE(engine.action_registrations().empty());
}

TEST(RegistrationTest, ClassNamesLoseTheirNamespacesOnly) {
  EXPECT_EQ(engine::trigger::action_class<sample::Greeter>().name, "Greeter");
  EXPECT_EQ(engine::trigger::action_class<sample::Wrapper<sample::Silent>>().name,
            "Wrapper<kelmora::testing::(anonymous namespace)::sample::Silent>");
  struct Local : nodes::SimpleActionNode {};
  EXPECT_EQ(engine::trigger::action_class<Local>().name, "Local");
  EXPECT_EQ(core::short_type_name(typeid(int)), "int");
  EXPECT_EQ(core::short_type_name(typeid(std::vector<sample::Silent>)),
            "vector<kelmora::testing::(anonymous namespace)::sample::Silent, "
            "std::allocator<kelmora::testing::(anonymous namespace)::sample::Silent> >");
}

TEST(RegistrationTest, WorkersReplayTheRegistrationsPresentWhenTheyStartInOrder) {
  auto returning = [](NodeStatus status) { return [status](TreeNode&) { return status; }; };
  auto tree_of = [](const std::string& action) {
    return R"(<root BTCPP_format="4"><BehaviorTree ID="T"><)" + action +
           R"(/></BehaviorTree></root>)";
  };
  ThreadEngine engine;
  // Replayed in order: the second registration of an id replaces the first in each tree.
  engine.register_action_behavior("First", returning(NodeStatus::FAILURE), {});
  engine.register_action_class<sample::Greeter>();
  engine.register_action_behavior("First", returning(NodeStatus::SUCCESS), {});
  engine.create_tree_from_text(tree_of("First"), "early");
  engine.create_tree_from_text(tree_of("Late"), "too early for Late");
  EXPECT_EQ(engine.tick_once("early"), NodeStatus::SUCCESS);
  // Once a tree's worker has read the registrations, later ones never reach it.
  const std::string error = error_of([&] { engine.tick_once("too early for Late"); });
  EXPECT_NE(error.find("Late"), std::string::npos) << error;
  engine.register_action_behavior("Late", returning(NodeStatus::RUNNING), {});
  engine.create_tree_from_text(tree_of("Late"), "late");
  EXPECT_EQ(engine.tick_once("late"), NodeStatus::RUNNING);
}

}  // namespace
}  // namespace kelmora::testing
