// Node classes written by a user in C++ and registered by class (register_node_class<T>) with the
// factory, a SequentialEngine and a ThreadEngine; conditions from functions; and the contracts the
// core keeps around them: children halted when a control completes, a stateful action's onHalted
// exactly once on every halt path and never otherwise, conditions never RUNNING, structure checked
// at build time, errors naming the node, registrations replayed in order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <kelmora/nodes/condition_node.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"
#include "support/log_capture.hpp"
#include "support/nested_error.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;
using core::NodeStatus;
using core::PortsList;
using engine::SequentialEngine;
using engine::trigger::ThreadEngine;
using ::testing::HasSubstr;

// What the nodes did, in order ("start a", "halted a"), from any thread.
class Events {
 public:
  void add(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

Events& events() {
  static Events instance;
  return instance;
}

NodeStatus parse_status(const std::string& text) {
  if (text == "SUCCESS") return S;
  if (text == "FAILURE") return F;
  if (text == "SKIPPED") return K;
  if (text == "IDLE") return I;
  if (text == "throw") throw std::runtime_error("thrown by request");
  return R;
}

namespace sample {

// A stateful action whose onStart / onRunning return what the ports `on_start` / `on_running`
// say (RUNNING when unbound; "throw" throws); onHalted throws when `halt_throws` is "true".
class Stateful : public nodes::StatefulActionNode {
 public:
  using StatefulActionNode::StatefulActionNode;
  static inline const PortsList ports = {core::make_port("on_start", "string", "input"),
                                         core::make_port("on_running", "string", "input"),
                                         core::make_port("halt_throws", "string", "input")};

 protected:
  NodeStatus onStart() override {
    events().add("start " + name());
    return parse_status(isPortBound("on_start") ? getInputString("on_start") : "RUNNING");
  }
  NodeStatus onRunning() override {
    events().add("running " + name());
    return parse_status(isPortBound("on_running") ? getInputString("on_running") : "RUNNING");
  }
  void onHalted() override {
    events().add("halted " + name());
    if (isPortBound("halt_throws") && getInputString("halt_throws") == "true") {
      throw std::runtime_error("cannot cancel");
    }
  }
};

// A sequence that runs its children from the last to the first.
class Reverse : public nodes::ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  NodeStatus onTick() override {
    if (status() != R) next_ = childrenCount();
    while (next_ > 0) {
      const NodeStatus result = child(next_ - 1).executeTick();
      if (result != S) return result;  // RUNNING resumes here; FAILURE ends (children halted)
      --next_;
    }
    return S;
  }
  void onHalt() override { events().add("halt " + name()); }

 private:
  std::size_t next_ = 0;
};

// Ticks every child each tick and returns the first completed child's status, leaving the others
// to the core (which halts them); RUNNING while none has completed.
class FirstDone : public nodes::ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  NodeStatus onTick() override {
    std::optional<NodeStatus> done;
    for (std::size_t i = 0; i < childrenCount(); ++i) {
      const NodeStatus result = child(i).executeTick();
      if (result != R && !done) done = result;
    }
    return done.value_or(R);
  }
};

// Ticks its child twice per tick and returns the second result; the port `fail` makes it fail
// with an exception after the first.
class Twice : public nodes::DecoratorNode {
 public:
  using DecoratorNode::DecoratorNode;
  static inline const PortsList ports = {core::make_port("fail", "string", "input")};

 protected:
  NodeStatus onTick() override {
    child().executeTick();
    if (isPortBound("fail")) throw std::runtime_error(getInputString("fail"));
    return child().executeTick();
  }
};

// SUCCESS for "true", FAILURE for "false", and whatever parse_status gives for anything else.
class IsTrue : public nodes::ConditionNode {
 public:
  using ConditionNode::ConditionNode;
  static inline const PortsList ports = {core::make_port("value", "string", "input")};

 protected:
  NodeStatus onTick() override {
    const std::string value = getInputString("value");
    if (value == "true") return S;
    if (value == "false") return F;
    return parse_status(value);
  }
};

// A simple action class: notes its tick, writes its name to `out` and returns `result`.
class Echo : public nodes::SimpleActionNode {
 public:
  explicit Echo(core::NodeConfig config) : SimpleActionNode(std::move(config)) {}
  static inline const PortsList ports = {core::make_port("result", "string", "input"),
                                         core::make_port("out", "string", "output")};

 protected:
  NodeStatus onTick() override {
    events().add("tick " + name());
    if (isPortBound("out")) setOutput("out", name());
    return isPortBound("result") ? parse_status(getInputString("result")) : S;
  }
};

// Of no known kind: a TreeNode of its own, two kind bases at once, and no node at all.
class Plain : public core::TreeNode {
 public:
  using TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  NodeStatus onTick() override { return S; }
};
class Both : public nodes::ConditionNode, public nodes::SimpleActionNode {};
struct NotANode {};

// A class whose ports the core refuses.
struct WithBadPorts : nodes::SimpleActionNode {
  using SimpleActionNode::SimpleActionNode;
  static inline const PortsList ports = {core::make_port("x", "integer", "input")};
};

}  // namespace sample

using sample::Echo;
using sample::FirstDone;
using sample::IsTrue;
using sample::Reverse;
using sample::Stateful;
using sample::Twice;

// Registers the sample classes under their own names with any registry.
template <class Registry>
void register_samples(Registry& registry) {
  registry.template register_node_class<Stateful>();
  registry.template register_node_class<Reverse>();
  registry.template register_node_class<FirstDone>();
  registry.template register_node_class<Twice>();
  registry.template register_node_class<IsTrue>();
  registry.template register_node_class<Echo>();
  registry.register_action_behavior(
      "Throw", [](core::TreeNode&) -> NodeStatus { throw std::runtime_error("boom"); }, {});
}

std::unique_ptr<SequentialEngine> engine_with(const std::string& body) {
  auto engine = std::make_unique<SequentialEngine>();
  register_samples(*engine);
  engine->create_tree_from_text(main_tree(body));
  events().take();
  return engine;
}

// --- registration ------------------------------------------------------------------------------

TEST(NodeClassTest, EveryKindRegistersUnderItsOwnNameOrTheGivenId) {
  struct Case {
    std::string name;
    std::function<void(SequentialEngine&)> register_class;
    std::string body;
    std::vector<NodeStatus> ticks;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"stateful, own name",
       [](auto& e) { e.template register_node_class<Stateful>(); },
       R"(<Stateful name="s" on_running="SUCCESS"/>)",
       {R, S},
       {"start s", "running s"}},
      {"stateful, given id",
       [](auto& e) { e.template register_node_class<Stateful>("Move"); },
       R"(<Move name="s" on_start="FAILURE"/>)",
       {F},
       {"start s"}},
      {"control, own name",
       [](auto& e) {
         e.template register_node_class<Reverse>();
         e.template register_node_class<Echo>();
       },
       R"(<Reverse><Echo name="a"/><Echo name="b"/><Echo name="c"/></Reverse>)",
       {S},
       {"tick c", "tick b", "tick a"}},
      {"control, given id, explicit form",
       [](auto& e) {
         e.template register_node_class<Reverse>("Backwards");
         e.template register_node_class<Echo>("Say");
       },
       R"(<Control ID="Backwards"><Action ID="Say" name="a"/><Say name="b"/></Control>)",
       {S},
       {"tick b", "tick a"}},
      {"decorator",
       [](auto& e) {
         e.template register_node_class<Twice>();
         e.template register_node_class<Echo>();
       },
       R"(<Twice><Echo name="a" result="FAILURE"/></Twice>)",
       {F},
       {"tick a", "tick a"}},
      {"condition, explicit form",
       [](auto& e) { e.template register_node_class<IsTrue>("Check"); },
       R"(<Condition ID="Check" value="false"/>)",
       {F},
       {}},
      {"condition from a function",
       [](auto& e) {
         e.register_condition_behavior("Ready",
                                       [](core::TreeNode& n) {
                                         events().add("ready " + n.name());
                                         return S;
                                       },
                                       {});
       },
       R"(<Ready/>)",
       {S},
       {"ready Ready"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool via_factory : {false, true}) {
      SCOPED_TRACE(via_factory ? "factory" : "sequential engine");
      std::vector<NodeStatus> ticks;
      if (via_factory) {
        SequentialEngine holder;  // registered through its factory
        c.register_class(holder);
        core::Tree tree = holder.factory().create_tree_from_text(main_tree(c.body));
        for (std::size_t i = 0; i < c.ticks.size(); ++i) ticks.push_back(tree.tickOnce());
      } else {
        SequentialEngine engine;
        c.register_class(engine);
        engine.create_tree_from_text(main_tree(c.body));
        ticks = engine.tick_n_times(static_cast<std::int64_t>(c.ticks.size()));
      }
      EXPECT_EQ(ticks, c.ticks);
      EXPECT_EQ(events().take(), c.events);
    }
  }
}

TEST(NodeClassTest, NodeClassDescribesKindNameAndPorts) {
  struct Case {
    core::NodeClass cls;
    std::optional<core::NodeKind> kind;
    std::string name;
    std::size_t ports;
  };
  const std::vector<Case> cases = {
      {core::node_class<Stateful>(), core::NodeKind::ACTION, "Stateful", 3},
      {core::node_class<Reverse>(), core::NodeKind::CONTROL, "Reverse", 0},
      {core::node_class<Twice>(), core::NodeKind::DECORATOR, "Twice", 1},
      {core::node_class<IsTrue>(), core::NodeKind::CONDITION, "IsTrue", 1},
      {core::node_class<Echo>(), core::NodeKind::ACTION, "Echo", 2},
      {core::node_class<sample::Plain>(), std::nullopt, "Plain", 0},
      {core::node_class<sample::Both>(), std::nullopt, "Both", 0},
      {core::node_class<sample::NotANode>(), std::nullopt, "NotANode", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.cls.name, c.name);
    EXPECT_EQ(c.cls.kind, c.kind);
    EXPECT_EQ(c.cls.ports.size(), c.ports);
    EXPECT_EQ(static_cast<bool>(c.cls.create), c.kind.has_value());
  }
}

TEST(NodeClassTest, ClassOfNoKnownKindIsRefusedWithErrorLineAndNothingStored) {
  const std::vector<core::NodeClass> classes = {core::node_class<sample::Plain>(),
                                                core::node_class<sample::Both>(),
                                                core::node_class<sample::NotANode>()};
  for (const auto& cls : classes) {
    SCOPED_TRACE(cls.name);
    const std::string message = "节点类 " + cls.name +
                                " 必须继承自ControlNode、DecoratorNode、ConditionNode、"
                                "SimpleActionNode或StatefulActionNode";
    EXPECT_EQ(core::unknown_node_class_message(cls.name), message);
    const std::vector<LogLine> refused = {{"error", message}};
    {
      LogCapture log;
      core::BehaviorTreeFactory factory;
      try {
        factory.register_node_class(cls, "X");
        ADD_FAILURE() << "no TypeError";
      } catch (const TypeError& e) {
        EXPECT_EQ(e.what(), message);
      }
      EXPECT_FALSE(factory.has_node_type("X"));
      EXPECT_EQ(log.lines(), refused);
    }
    {
      LogCapture log;
      SequentialEngine engine;
      EXPECT_THROW(engine.register_node_class(cls), TypeError);
      EXPECT_FALSE(engine.factory().has_node_type(cls.name));
      EXPECT_EQ(log.lines(), refused);
    }
    {
      ThreadEngine engine;
      LogCapture log;
      EXPECT_THROW(engine.register_node_class(cls), TypeError);
      EXPECT_EQ(log.lines(), refused);  // no "注册动作节点" line
      const std::string tree = engine.create_tree_from_text(main_tree("<" + cls.name + "/>"));
      EXPECT_THROW(engine.tick_once(tree), RuntimeError);  // unknown node type: nothing replayed
    }
  }
  // The templates refuse the same way.
  LogCapture log;
  ThreadEngine engine;
  EXPECT_THROW(engine.register_node_class<sample::NotANode>(), TypeError);
  EXPECT_THROW(core::BehaviorTreeFactory().register_node_class<sample::Plain>(), TypeError);
}

TEST(NodeClassTest, BadIdOrPortsAreRefusedLikeActions) {
  struct Case {
    std::string name;
    core::NodeClass cls;
    std::optional<std::string> id;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty id", core::node_class<Echo>(), "", "cannot register an action with an empty id"},
      {"reserved id", core::node_class<Echo>(), "SubTree",
       "cannot register action 'SubTree': the name is reserved by the tree XML format"},
      {"bad port", core::node_class<sample::WithBadPorts>(), std::nullopt,
       "cannot register action 'WithBadPorts': port 'x' has type 'integer' (expected \"string\" "
       "or \"object\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    core::BehaviorTreeFactory factory;
    try {
      factory.register_node_class(c.cls, c.id);
      ADD_FAILURE() << "no TreeBuildError";
    } catch (const core::TreeBuildError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    ThreadEngine engine;
    LogCapture log;
    try {
      engine.register_node_class(c.cls, c.id);
      ADD_FAILURE() << "no ValueError";
    } catch (const ValueError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_TRUE(log.lines().empty());
    // Conditions from functions follow the same rules.
    EXPECT_THROW(engine.register_condition_behavior(c.id.value_or("X"), {}, c.cls.ports),
                 ValueError);
  }
}

// --- the thread engine: replay in registration order -------------------------------------------

TEST(NodeClassTest, ThreadEngineReplaysEveryKindInRegistrationOrder) {
  auto action = [](core::TreeNode& n) {
    events().add("action " + n.name());
    return F;
  };
  struct Case {
    std::string name;
    std::function<void(ThreadEngine&)> register_all;
    std::size_t listed_actions;
    NodeStatus status;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"class then action: the action wins",
       [&](ThreadEngine& e) {
         e.register_node_class<Echo>("X");
         e.register_action_behavior("X", action, {});
       },
       1,
       F,
       {"action x"}},
      {"action then class: the class wins",
       [&](ThreadEngine& e) {
         e.register_action_behavior("X", action, {});
         e.register_node_class<Echo>("X");
       },
       1,
       S,
       {"tick x"}},
      {"condition then class: the class wins",
       [&](ThreadEngine& e) {
         e.register_condition_behavior("X", action, {});
         e.register_node_class<Echo>("X");
       },
       0,
       S,
       {"tick x"}},
      {"class then condition: the condition wins",
       [&](ThreadEngine& e) {
         e.register_node_class<Echo>("X");
         e.register_condition_behavior("X", action, {});
       },
       0,
       F,
       {"action x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ThreadEngine engine;
    LogCapture log;
    c.register_all(engine);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"注册动作节点: X", "注册动作节点: X"}));
    // Only the action behaviours are listed.
    EXPECT_EQ(engine.action_registrations().size(), c.listed_actions);
    const std::string tree = engine.create_tree_from_text(main_tree(R"(<X name="x"/>)"));
    EXPECT_EQ(engine.tick_once(tree), c.status);
    EXPECT_EQ(events().take(), c.events);
  }
}

TEST(NodeClassTest, ThreadEngineTreesGetAnInstancePerElementAndHaltOnStop) {
  ThreadEngine engine;
  register_samples(engine);
  const std::string body =
      R"(<FirstDone><Stateful name="a"/><Stateful name="b" on_running="SUCCESS"/></FirstDone>)";
  const std::string tree = engine.create_tree_from_text(main_tree(body));
  EXPECT_EQ(engine.tick_once(tree), R);
  EXPECT_EQ(events().take(), (std::vector<std::string>{"start a", "start b"}));
  // b completes: FirstDone completes and the core halts a, which is still running.
  EXPECT_EQ(engine.tick_once(tree), S);
  EXPECT_EQ(events().take(), (std::vector<std::string>{"running a", "running b", "halted a"}));
  EXPECT_EQ(engine.tick_once(tree), R);  // a new run starts both again
  events().take();
  engine.stop_tree(tree);  // the worker halts the running tree as it ends
  EXPECT_EQ(events().take(), (std::vector<std::string>{"halted a", "halted b"}));
}

TEST(NodeClassTest, StopAllTreesAndEngineDestructionHaltRunningNodes) {
  auto engine = std::make_unique<ThreadEngine>();
  register_samples(*engine);
  for (const std::string name : {"a", "b"}) {
    const std::string tree =
        engine->create_tree_from_text(main_tree(R"(<Stateful name=")" + name + R"("/>)"));
    EXPECT_EQ(engine->tick_once(tree), R);
  }
  events().take();
  engine->stop_all_trees();
  auto halted = events().take();
  std::sort(halted.begin(), halted.end());
  EXPECT_EQ(halted, (std::vector<std::string>{"halted a", "halted b"}));
  const std::string tree = engine->create_tree_from_text(main_tree(R"(<Stateful name="c"/>)"));
  EXPECT_EQ(engine->tick_once(tree), R);
  events().take();
  engine.reset();
  EXPECT_EQ(events().take(), (std::vector<std::string>{"halted c"}));
}

// --- the halting contract ----------------------------------------------------------------------

TEST(NodeClassTest, StatefulOnHaltedRunsExactlyOnceOnEveryHaltPath) {
  struct Case {
    std::string name;
    std::string body;
    // Runs after the tree is built; returns what the test wants ticked and done.
    std::function<void(std::unique_ptr<SequentialEngine>&)> run;
    std::vector<std::string> events;
  };
  auto tick = [](std::unique_ptr<SequentialEngine>& e) { e->tick_once(); };
  const std::vector<Case> cases = {
      {"halted by its parent (Parallel completes)",
       R"(<Parallel success_count="1"><Stateful name="a"/><AlwaysSuccess/></Parallel>)",
       [&](auto& e) {
         EXPECT_EQ(e->tick_once(), S);
         tick(e);
       },
       {"start a", "halted a", "start a", "halted a"}},
      {"halted by its parent (ReactiveSequence's condition fails)",
       R"(<ReactiveSequence><IsTrue value="{go}"/><Stateful name="a"/></ReactiveSequence>)",
       [&](auto& e) {
         e->set_blackboard_data("go", std::string("true"));
         EXPECT_EQ(e->tick_once(), R);
         e->set_blackboard_data("go", std::string("false"));
         EXPECT_EQ(e->tick_once(), F);
       },
       {"start a", "halted a"}},
      {"halted by reset_tree, once",
       R"(<Sequence><Stateful name="a"/></Sequence>)",
       [&](auto& e) {
         tick(e);
         e->reset_tree();
         e->reset_tree();
       },
       {"start a", "halted a"}},
      {"halted after a tick that threw elsewhere",
       R"(<Parallel><Stateful name="a"/><Throw/></Parallel>)",
       [&](auto& e) { EXPECT_THROW(e->tick_once(), core::NodeTickError); },
       {"start a", "halted a"}},
      {"halted when the engine is destroyed",
       R"(<Stateful name="a"/>)",
       [&](auto& e) {
         tick(e);
         e.reset();
       },
       {"start a", "halted a"}},
      {"halted when the tree is replaced",
       R"(<Stateful name="a"/>)",
       [&](auto& e) {
         tick(e);
         e->create_tree_from_text(main_tree("<AlwaysSuccess/>"));
         e.reset();
       },
       {"start a", "halted a"}},
      {"halted when its control completes (core contract)",
       R"(<FirstDone><Stateful name="a"/><Echo name="e"/></FirstDone>)",
       [&](auto& e) { EXPECT_EQ(e->tick_once(), S); },
       {"start a", "tick e", "halted a"}},
      {"halted when onRunning threw",
       R"(<Stateful name="a" on_running="throw"/>)",
       [&](auto& e) {
         tick(e);
         EXPECT_THROW(e->tick_once(), core::NodeTickError);
         e.reset();
       },
       {"start a", "running a", "halted a"}},
      {"not halted when onStart threw",
       R"(<Stateful name="a" on_start="throw"/>)",
       [&](auto& e) {
         EXPECT_THROW(e->tick_once(), core::NodeTickError);
         e.reset();
       },
       {"start a"}},
      {"never halted while IDLE",
       R"(<Stateful name="a"/>)",
       [&](auto& e) {
         e->reset_tree();
         e.reset();
       },
       {}},
      {"never halted once completed; a new run starts again",
       R"(<Stateful name="a" on_running="SUCCESS"/>)",
       [&](auto& e) {
         EXPECT_EQ(e->tick_n_times(3), (std::vector<NodeStatus>{R, S, R}));
         EXPECT_EQ(e->tick_once(), S);
         e->reset_tree();
         e.reset();
       },
       {"start a", "running a", "start a", "running a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = engine_with(c.body);
    c.run(engine);
    engine.reset();
    EXPECT_EQ(events().take(), c.events);
  }
}

TEST(NodeClassTest, FactoryTreeHaltsRunningNodesWhenDestroyedOrReplaced) {
  core::BehaviorTreeFactory factory;
  factory.register_node_class<Stateful>();
  std::optional<core::Tree> tree = factory.create_tree_from_text(main_tree(R"(<Stateful/>)"));
  EXPECT_EQ(tree->tickOnce(), R);
  *tree = factory.create_tree_from_text(main_tree(R"(<Stateful name="b"/>)"));
  EXPECT_EQ(tree->tickOnce(), R);
  tree.reset();
  EXPECT_EQ(events().take(),
            (std::vector<std::string>{"start Stateful", "halted Stateful", "start b", "halted b"}));
}

TEST(NodeClassTest, UserControlsAndDecoratorsTickChildrenInTheirOwnOrder) {
  struct Case {
    std::string name;
    std::string body;
    std::vector<NodeStatus> ticks;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"reverse order, resumes at the running child",
       R"(<Reverse><Echo name="a"/><Stateful name="b" on_running="SUCCESS"/><Echo name="c"/></Reverse>)",
       {R, S},
       {"tick c", "start b", "running b", "tick a"}},
      {"decorator ticks twice; a stateful child runs onStart then onRunning",
       R"(<Twice><Stateful name="s" on_running="FAILURE"/></Twice>)",
       {F},
       {"start s", "running s"}},
      {"user decorator around user control",
       R"(<Twice><Reverse><Echo name="a"/><Echo name="b"/></Reverse></Twice>)",
       {S},
       {"tick b", "tick a", "tick b", "tick a"}},
      {"completed children are reset when a control completes",
       R"(<FirstDone><Echo name="a" result="FAILURE"/><Echo name="b"/></FirstDone>)",
       {F, F},
       {"tick a", "tick b", "tick a", "tick b"}},
      {"condition classes feed standard controls",
       R"(<Fallback><IsTrue value="false"/><IsTrue value="true"/></Fallback>)",
       {S},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = engine_with(c.body);
    EXPECT_EQ(engine->tick_n_times(static_cast<std::int64_t>(c.ticks.size())), c.ticks);
    EXPECT_EQ(events().take(), c.events);
    // When the root completes, every node of a user control is IDLE again.
    const auto status = engine->get_tree_status();
    for (const auto& node : std::any_cast<std::vector<core::AnyMap>>(status.at("nodes"))) {
      if (std::any_cast<std::int64_t>(node.at("depth")) > 0 &&
          std::any_cast<std::string>(node.at("kind")) != "Condition") {
        EXPECT_EQ(std::any_cast<std::string>(node.at("status")), "IDLE")
            << std::any_cast<std::string>(node.at("name"));
      }
    }
  }
}

// --- errors --------------------------------------------------------------------------------------

TEST(NodeClassTest, ConditionThatReturnsRunningFailsTheTickNamingIt) {
  struct Case {
    std::string name;
    std::string body;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"class", R"(<IsTrue name="c" value="RUNNING"/>)",
       "node 'c' (IsTrue): a condition must not return RUNNING"},
      {"function", R"(<Pending name="p"/>)",
       "node 'p' (Pending): a condition must not return RUNNING"},
      {"IDLE from a class", R"(<IsTrue name="c" value="IDLE"/>)",
       "node 'c' (IsTrue): a tick must not return IDLE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SequentialEngine engine;
    engine.register_node_class<IsTrue>();
    engine.register_condition_behavior("Pending", [](core::TreeNode&) { return R; }, {});
    engine.create_tree_from_text(main_tree(c.body));
    try {
      engine.tick_once();
      ADD_FAILURE() << "no NodeTickError";
    } catch (const core::NodeTickError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_EQ(std::any_cast<std::string>(engine.get_tree_status().at("status")), "IDLE");
  }
}

TEST(NodeClassTest, StructureIsCheckedAtBuildTimeNamingFileLineAndNode) {
  struct Case {
    std::string body;
    std::string message;
  };
  const std::vector<Case> cases = {
      {R"(<Twice name="t"/>)", "node 't' (Twice): needs exactly 1 child (Decorator node), has 0"},
      {R"(<Twice name="t"><Echo/><Echo/></Twice>)",
       "node 't' (Twice): needs exactly 1 child (Decorator node), has 2"},
      {R"(<Reverse name="r"/>)",
       "node 'r' (Reverse): needs at least 1 child (Control node), has 0"},
      {R"(<Echo name="e"><Echo/></Echo>)",
       "node 'e' (Echo): needs no children (Action node), has 1"},
      {R"(<Decorator ID="Reverse"><Echo/></Decorator>)",
       "'Reverse' is a Control node, not a Decorator"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    SequentialEngine engine;
    register_samples(engine);
    try {
      engine.create_tree_from_text(main_tree(c.body));
      ADD_FAILURE() << "no TreeBuildError";
    } catch (const core::TreeBuildError& e) {
      EXPECT_THAT(e.what(), HasSubstr("<xml text>:1: " + c.message));
    }
  }
}

TEST(NodeClassTest, ExceptionsInTicksAndHaltsNameTheNodeAndKeepTheCause) {
  struct Case {
    std::string name;
    std::string body;
    bool reset;  // the failure comes from reset_tree rather than a tick
    std::string message;
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"a control's tick",
       R"(<Twice name="t" fail="bad sensor"><Stateful name="a"/></Twice>)",
       false,
       "node 't' (Twice): bad sensor",
       {"start a", "halted a"}},
      {"a child's failure passes through the user control unchanged",
       R"(<Reverse name="r"><Throw name="x"/><Stateful name="a" on_start="SUCCESS"/></Reverse>)",
       false,
       "node 'x' (Throw): boom",
       {"start a", "halt r"}},
      {"onHalted during reset; the other node is still halted",
       R"(<Parallel><Stateful name="a" halt_throws="true"/><Stateful name="b"/></Parallel>)",
       true,
       "node 'a' (Stateful): cannot cancel",
       {"start a", "start b", "halted a", "halted b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = engine_with(c.body);
    try {
      if (c.reset) {
        EXPECT_EQ(engine->tick_once(), R);
        engine->reset_tree();
      } else {
        engine->tick_once();
      }
      ADD_FAILURE() << "no NodeTickError";
    } catch (const core::NodeTickError& e) {
      EXPECT_EQ(e.what(), c.message);
      EXPECT_TRUE(nested_of<std::runtime_error>(e).has_value());
    }
    // Every node ended IDLE; nothing is halted twice when the engine goes.
    engine.reset();
    EXPECT_EQ(events().take(), c.events);
  }
}

TEST(NodeClassTest, FailedHaltAtDestructionIsLoggedNotThrown) {
  LogCapture log;
  {
    auto engine = engine_with(R"(<Stateful name="a" halt_throws="true"/>)");
    EXPECT_EQ(engine->tick_once(), R);
  }
  EXPECT_EQ(events().take(), (std::vector<std::string>{"start a", "halted a"}));
  EXPECT_EQ(log.texts("error"),
            (std::vector<std::string>{
                "halting the tree as it is destroyed: node 'a' (Stateful): cannot cancel"}));
}

}  // namespace
}  // namespace kelmora::testing
