// Reading and writing ports from tick functions: literals, blackboard references, {=}, and the
// errors for wrong directions, unbound ports and missing or non-text entries; numbers, booleans
// and text feeding the standard nodes' numeric and boolean ports.

#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/tree.hpp>
#include <memory>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;

using core::make_port;
using core::NodeStatus;

const core::PortsList kPorts = {make_port("in", "string", "input"),
                                make_port("obj", "object", "input"),
                                make_port("out", "object", "output")};

// Builds a one-node tree <Probe .../> whose tick runs `body`, and ticks it once.
void tick_probe(engine::SequentialEngine& engine, const std::string& attributes,
                std::function<void(core::TreeNode&)> body) {
  engine.register_action_behavior(
      "Probe",
      [body = std::move(body)](core::TreeNode& node) {
        body(node);
        return NodeStatus::SUCCESS;
      },
      kPorts);
  engine.create_tree_from_text(main_tree("<Probe name=\"probe\" " + attributes + "/>"));
  engine.tick_once();
}

TEST(PortTest, ReadsLiteralsReferencesAndSameNameEntries) {
  engine::SequentialEngine engine;
  std::string literal, referenced, same_name;
  tick_probe(engine, R"(in="hello")", [&](core::TreeNode& n) { literal = n.getInputString("in"); });
  EXPECT_EQ(literal, "hello");

  engine.register_action_behavior(
      "Probe",
      [&](core::TreeNode& n) {
        referenced = n.getInputString("in");
        same_name = std::any_cast<std::string>(n.getInputObject("obj"));
        return NodeStatus::SUCCESS;
      },
      kPorts);
  engine.create_tree_from_text(main_tree(R"(<Probe in="{greeting}" obj="{=}"/>)"));
  engine.set_blackboard_data("greeting", std::string("hi"));
  engine.set_blackboard_data("obj", std::string("same"));
  engine.tick_once();
  EXPECT_EQ(referenced, "hi");
  EXPECT_EQ(same_name, "same");
}

TEST(PortTest, ObjectPortsCarryAnyValueAndNeverWrittenEntriesReadAsNone) {
  engine::SequentialEngine engine;
  std::any number, never_written;
  engine.register_action_behavior(
      "Probe",
      [&](core::TreeNode& n) {
        number = n.getInputObject("obj");
        never_written = n.getInputObject("in");
        n.setOutput("out", std::vector<int>{1, 2});
        return NodeStatus::SUCCESS;
      },
      kPorts);
  engine.create_tree_from_text(main_tree(R"(<Probe obj="{n}" in="{unset}" out="{result}"/>)"));
  engine.set_blackboard_data("n", 5);
  engine.tick_once();
  EXPECT_EQ(std::any_cast<int>(number), 5);
  EXPECT_FALSE(never_written.has_value());
  EXPECT_EQ(std::any_cast<std::vector<int>>(engine.get_blackboard_data("result")),
            (std::vector<int>{1, 2}));
}

struct PortErrorCase {
  std::string name;
  std::string attributes;
  std::function<void(core::TreeNode&)> use;
  std::string message;
};

void PrintTo(const PortErrorCase& c, std::ostream* os) { *os << c.name; }

class PortErrorTest : public ::testing::TestWithParam<PortErrorCase> {};

TEST_P(PortErrorTest, TickFailsWithMessageNamingNodeAndPort) {
  const auto& c = GetParam();
  engine::SequentialEngine engine;
  try {
    tick_probe(engine, c.attributes, c.use);
    FAIL() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_EQ(e.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortErrorTest,
    ::testing::Values(
        PortErrorCase{"Unbound", "", [](core::TreeNode& n) { n.getInputString("in"); },
                      "node 'probe' (Probe): port 'in' is not bound in the XML"},
        PortErrorCase{"UnboundObject", "", [](core::TreeNode& n) { n.getInputObject("obj"); },
                      "node 'probe' (Probe): port 'obj' is not bound in the XML"},
        PortErrorCase{"NeverWritten", R"(in="{nothing}")",
                      [](core::TreeNode& n) { n.getInputString("in"); },
                      "node 'probe' (Probe): port 'in' refers to blackboard entry 'nothing', "
                      "which was never written"},
        PortErrorCase{"NoText", R"(in="{num}")",
                      [](core::TreeNode& n) {
                        n.blackboard()->set("num", 3);
                        n.getInputString("in");
                      },
                      "node 'probe' (Probe): port 'in' refers to blackboard entry 'num', which "
                      "holds int, not text"},
        PortErrorCase{"ReadingOutput", R"(out="{x}")",
                      [](core::TreeNode& n) { n.getInputObject("out"); },
                      "node 'probe' (Probe): port 'out' is an output port; it cannot be read"},
        PortErrorCase{"WritingInput", R"(in="{x}")",
                      [](core::TreeNode& n) { n.setOutput("in", 1); },
                      "node 'probe' (Probe): port 'in' is an input port; it cannot be written"},
        PortErrorCase{"UndeclaredPort", "", [](core::TreeNode& n) { n.getInputString("nope"); },
                      "node 'probe' (Probe): has no port 'nope'"},
        PortErrorCase{"UnboundOutput", "", [](core::TreeNode& n) { n.setOutput("out", 1); },
                      "node 'probe' (Probe): port 'out' is not bound in the XML"}),
    [](const auto& param_info) { return param_info.param.name; });

// A host's own number type (as the Python module stores Python ints), taught to the core by a
// hook.
struct HostNumber {
  std::int64_t value;
};

void teach_host_numbers() {
  static const bool taught = [] {
    core::AnyHooks hooks;
    hooks.as_scalar = [](const std::any& v) -> std::optional<core::Scalar> {
      if (const auto* n = std::any_cast<HostNumber>(&v)) return core::Scalar{n->value};
      return std::nullopt;
    };
    hooks.kind_name = [](const std::any& v) -> std::optional<std::string> {
      if (v.type() == typeid(HostNumber)) return "HostNumber";
      return std::nullopt;
    };
    core::add_any_hooks(std::move(hooks));
    return true;
  }();
  (void)taught;
}

// A standard node's port bound to the entry "v", which holds `value`.
struct FedPortCase {
  std::string name;
  std::string body;
  std::any value;
  std::map<std::string, std::vector<NodeStatus>> scripts;
  std::vector<TickExpectation> ticks;
};

void PrintTo(const FedPortCase& c, std::ostream* os) { *os << c.name; }

class FedPortTest : public ::testing::TestWithParam<FedPortCase> {};

TEST_P(FedPortTest, EntryFeedsTheStandardPort) {
  teach_host_numbers();
  const auto& c = GetParam();
  engine::SequentialEngine engine;
  ScriptedActions actions;
  for (const auto& [id, script] : c.scripts) actions.add(engine, id, script);
  engine.create_tree_from_text(main_tree(c.body));
  engine.set_blackboard_data("v", c.value);
  for (std::size_t i = 0; i < c.ticks.size(); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    EXPECT_EQ(engine.tick_once(), c.ticks[i].status);
    EXPECT_EQ(actions.take_trace(), c.ticks[i].trace);
  }
}

const char* const kRepeat = R"(<Repeat num_cycles="{v}"><A/></Repeat>)";
const char* const kRetry =
    R"(<RetryUntilSuccessful num_attempts="{v}"><A/></RetryUntilSuccessful>)";
const char* const kSleep = R"(<Sequence><Sleep msec="{v}"/><A/></Sequence>)";
const char* const kTimeout = R"(<Timeout msec="{v}"><A/></Timeout>)";
const char* const kDelay = R"(<Delay delay_msec="{v}"><A/></Delay>)";
const char* const kSuccessCount = R"(<Parallel success_count="{v}"><A/><B/></Parallel>)";
const char* const kFailureCount =
    R"(<Parallel success_count="1" failure_count="{v}"><A/><B/></Parallel>)";
const char* const kRunOnce = R"(<RunOnce then_skip="{v}"><A/></RunOnce>)";

INSTANTIATE_TEST_SUITE_P(
    Ports, FedPortTest,
    ::testing::Values(
        FedPortCase{"NumCyclesInt64", kRepeat, std::int64_t{3}, {{"A", {S}}}, {{S, "A A A"}}},
        FedPortCase{"NumCyclesInt", kRepeat, 2, {{"A", {S}}}, {{S, "A A"}}},
        FedPortCase{"NumCyclesWholeDouble", kRepeat, 2.0, {{"A", {S}}}, {{S, "A A"}}},
        FedPortCase{"NumCyclesHostNumber", kRepeat, HostNumber{2}, {{"A", {S}}}, {{S, "A A"}}},
        FedPortCase{"NumCyclesText", kRepeat, std::string("3"), {{"A", {S}}}, {{S, "A A A"}}},
        FedPortCase{"NumAttemptsInt64", kRetry, std::int64_t{2}, {{"A", {F}}}, {{F, "A A"}}},
        FedPortCase{"NumAttemptsText", kRetry, std::string("2"), {{"A", {F}}}, {{F, "A A"}}},
        FedPortCase{"SleepMsecInt64Zero", kSleep, std::int64_t{0}, {{"A", {S}}}, {{S, "A"}}},
        FedPortCase{"SleepMsecInt64Long", kSleep, std::int64_t{600000}, {{"A", {S}}}, {{R, ""}}},
        FedPortCase{"SleepMsecText", kSleep, std::string("600000"), {{"A", {S}}}, {{R, ""}}},
        FedPortCase{"TimeoutMsecInt64Zero", kTimeout, std::int64_t{0}, {{"A", {R}}}, {{F, ""}}},
        FedPortCase{
            "TimeoutMsecInt64Long", kTimeout, std::int64_t{600000}, {{"A", {R}}}, {{R, "A"}}},
        FedPortCase{"TimeoutMsecText", kTimeout, std::string("0"), {{"A", {R}}}, {{F, ""}}},
        FedPortCase{"DelayMsecInt64Zero", kDelay, std::int64_t{0}, {{"A", {S}}}, {{S, "A"}}},
        FedPortCase{"DelayMsecInt64Long", kDelay, std::int64_t{600000}, {{"A", {S}}}, {{R, ""}}},
        FedPortCase{"DelayMsecText", kDelay, std::string("600000"), {{"A", {S}}}, {{R, ""}}},
        FedPortCase{"SuccessCountInt64",
                    kSuccessCount,
                    std::int64_t{1},
                    {{"A", {S}}, {"B", {R}}},
                    {{S, "A"}}},
        FedPortCase{"SuccessCountText",
                    kSuccessCount,
                    std::string("1"),
                    {{"A", {S}}, {"B", {R}}},
                    {{S, "A"}}},
        FedPortCase{"FailureCountInt64",
                    kFailureCount,
                    std::int64_t{2},
                    {{"A", {F}}, {"B", {R}}},
                    {{R, "A B"}}},
        FedPortCase{"FailureCountText",
                    kFailureCount,
                    std::string("2"),
                    {{"A", {F}}, {"B", {R}}},
                    {{R, "A B"}}},
        FedPortCase{"ThenSkipBoolFalse", kRunOnce, false, {{"A", {S, F}}}, {{S, "A"}, {S, ""}}},
        FedPortCase{"ThenSkipBoolTrue", kRunOnce, true, {{"A", {S, F}}}, {{S, "A"}, {K, ""}}},
        FedPortCase{
            "ThenSkipText", kRunOnce, std::string("false"), {{"A", {S, F}}}, {{S, "A"}, {S, ""}}}),
    [](const auto& param_info) { return param_info.param.name; });

struct FedPortErrorCase {
  std::string name;
  std::string body;
  std::any value;
  std::string message;
};

void PrintTo(const FedPortErrorCase& c, std::ostream* os) { *os << c.name; }

class FedPortErrorTest : public ::testing::TestWithParam<FedPortErrorCase> {};

TEST_P(FedPortErrorTest, EntryOfTheWrongKindFailsTheTickNamingNodePortAndValue) {
  const auto& c = GetParam();
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.create_tree_from_text(main_tree(c.body));
  engine.set_blackboard_data("v", c.value);
  // RunOnce reads then_skip once its child has completed: the second tick.
  std::string error = "(no error)";
  for (int tick = 0; tick < 2 && error == "(no error)"; ++tick) {
    try {
      engine.tick_once();
    } catch (const core::NodeTickError& e) {
      error = e.what();
    }
  }
  EXPECT_EQ(error, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, FedPortErrorTest,
    ::testing::Values(
        FedPortErrorCase{"BoolForAnInteger", kRepeat, true,
                         "node 'Repeat' (Repeat): port 'num_cycles' refers to blackboard entry "
                         "'v', which holds bool, not an integer"},
        FedPortErrorCase{"FractionForAnInteger", kRepeat, 2.5,
                         "node 'Repeat' (Repeat): port 'num_cycles' expects an integer, got 2.5"},
        FedPortErrorCase{
            "NumberBeyondTheIntegerRange", kRepeat, 1e300,
            "node 'Repeat' (Repeat): port 'num_cycles' expects an integer, got 1e+300"},
        FedPortErrorCase{"UnsignedBeyondTheIntegerRange", kRepeat,
                         std::uint64_t{18446744073709551615u},
                         "node 'Repeat' (Repeat): port 'num_cycles' expects an integer, got "
                         "18446744073709551615"},
        FedPortErrorCase{"TextThatIsNoInteger", kRepeat, std::string("often"),
                         "node 'Repeat' (Repeat): port 'num_cycles' expects an integer, got "
                         "'often'"},
        FedPortErrorCase{"ListForAnInteger", kSleep, std::vector<std::any>{},
                         "node 'Sleep' (Sleep): port 'msec' refers to blackboard entry 'v', which "
                         "holds std::vector<std::any>, not an integer"},
        FedPortErrorCase{"IntegerForABoolean", kRunOnce, std::int64_t{1},
                         "node 'RunOnce' (RunOnce): port 'then_skip' refers to blackboard entry "
                         "'v', which holds std::int64_t, not a boolean"},
        FedPortErrorCase{"TextThatIsNoBoolean", kRunOnce, std::string("maybe"),
                         "node 'RunOnce' (RunOnce): port 'then_skip' expects true or false, got "
                         "'maybe'"}),
    [](const auto& param_info) { return param_info.param.name; });

// --- bindings, resolved once when the tree is built -------------------------------------------

using Kind = core::PortBinding::Kind;

struct BindingCase {
  std::string body;  // the element of the one-node tree
  std::string port;
  Kind kind;
  std::string text;
  std::any value;  // the converted literal, for typed ports
};

TEST(PortBindingTest, EachAttributeIsBoundOnceWhenTheTreeIsBuilt) {
  const std::vector<BindingCase> cases = {
      {R"(<Probe in="hello"/>)", "in", Kind::LITERAL, "hello", {}},
      {R"(<Probe in=" {greeting} "/>)", "in", Kind::ENTRY, "greeting", {}},
      {R"(<Probe in="{ = }"/>)", "in", Kind::ENTRY, "in", {}},
      {R"(<Probe obj="{=}"/>)", "obj", Kind::ENTRY, "obj", {}},
      {R"(<Probe out="{=}"/>)", "out", Kind::ENTRY, "out", {}},
      {R"(<Probe out="{x}"/>)", "in", Kind::UNBOUND, "", {}},
      {R"(<Repeat num_cycles=" 3 "><Probe/></Repeat>)", "num_cycles", Kind::LITERAL, " 3 ",
       std::int64_t{3}},
      {R"(<Repeat num_cycles="{n}"><Probe/></Repeat>)", "num_cycles", Kind::ENTRY, "n", {}},
      {R"(<RunOnce then_skip="FALSE"><Probe/></RunOnce>)", "then_skip", Kind::LITERAL, "FALSE",
       false},
      {R"(<SetBlackboard value="v" output_key="{k}"/>)", "output_key", Kind::ENTRY, "k", {}},
  };
  core::BehaviorTreeFactory factory;
  factory.register_action_behavior(
      "Probe", [](core::TreeNode&) { return NodeStatus::SUCCESS; }, kPorts);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    core::Tree tree = factory.create_tree_from_text(main_tree(c.body));
    const core::PortBinding* binding = tree.rootNode()->portBinding(c.port);
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(binding->kind, c.kind);
    EXPECT_EQ(binding->text, c.text);
    EXPECT_EQ(core::any_to_text(binding->value), core::any_to_text(c.value));
    EXPECT_EQ(binding->value.type(), c.value.type());
  }
}

TEST(PortBindingTest, RegisteredPortsAreTypedInDeclarationOrder) {
  core::BehaviorTreeFactory factory;
  factory.register_action_behavior(
      "Probe", [](core::TreeNode&) { return NodeStatus::SUCCESS; },
      {make_port("text", "string", "input", "what to say"), make_port("out", "object", "output")});
  core::Tree tree = factory.create_tree_from_text(main_tree(R"(<Probe out="{o}"/>)"));
  const auto& ports = tree.rootNode()->ports();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].name, "text");
  EXPECT_EQ(ports[0].direction, core::PortDirection::INPUT);
  EXPECT_EQ(ports[0].type, core::PortType::STRING);
  EXPECT_EQ(ports[0].description, "what to say");
  EXPECT_EQ(ports[1].name, "out");
  EXPECT_EQ(ports[1].direction, core::PortDirection::OUTPUT);
  EXPECT_EQ(ports[1].type, core::PortType::OBJECT);
  EXPECT_EQ(tree.rootNode()->portBindings().size(), 2u);
  EXPECT_FALSE(tree.rootNode()->isPortBound("text"));
  EXPECT_TRUE(tree.rootNode()->isPortBound("out"));
  EXPECT_FALSE(tree.rootNode()->isPortBound("nope"));
}

TEST(PortBindingTest, AnEntryIsReadAfreshAtEveryTick) {
  engine::SequentialEngine engine;
  std::vector<std::string> read;
  engine.register_action_behavior(
      "Probe",
      [&](core::TreeNode& n) {
        read.push_back(n.getInputString("in"));
        n.setOutput("out", read.back() + "!");
        return NodeStatus::SUCCESS;
      },
      kPorts);
  ScriptedActions actions;
  actions.add(engine, "A", {NodeStatus::SUCCESS});
  engine.create_tree_from_text(main_tree(
      R"(<Sequence><Probe in="{msg}" out="{=}"/><Repeat num_cycles="{n}"><A/></Repeat></Sequence>)"));
  struct Round {
    std::string message;
    std::int64_t cycles;
    std::string trace;
  };
  for (const Round& round :
       {Round{"first", 1, "A"}, Round{"second", 3, "A A A"}, Round{"third", 0, ""}}) {
    engine.set_blackboard_data("msg", round.message);
    engine.set_blackboard_data("n", round.cycles);
    EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
    EXPECT_EQ(actions.take_trace(), round.trace);
    EXPECT_EQ(core::any_to_text(engine.get_blackboard_data("out")), round.message + "!");
  }
  EXPECT_EQ(read, (std::vector<std::string>{"first", "second", "third"}));
}

TEST(PortBindingTest, APortErrorOfTheTickedNodeIsNestedAndNamesItOnce) {
  core::BehaviorTreeFactory factory;
  factory.register_action_behavior(
      "Probe",
      [](core::TreeNode& n) {
        n.getInputString("in");
        return NodeStatus::SUCCESS;
      },
      kPorts);
  core::Tree tree = factory.create_tree_from_text(main_tree(R"(<Probe name="p" in="{gone}"/>)"));
  try {
    tree.tickOnce();
    FAIL() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_STREQ(e.what(),
                 "node 'p' (Probe): port 'in' refers to blackboard entry 'gone', which was never "
                 "written");
    try {
      std::rethrow_if_nested(e);
      FAIL() << "nothing nested";
    } catch (const core::PortError& original) {
      EXPECT_EQ(original.node(), tree.rootNode());
      EXPECT_STREQ(original.what(), e.what());
    }
  }
}

// A leaf with an INOUT port, made by hand: it reads the entry and writes it back, incremented.
class Counter : public core::TreeNode {
 public:
  explicit Counter(core::NodeConfig config) : TreeNode(std::move(config)) {}
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  NodeStatus onTick() override {
    const std::any value = getInputObject("count");
    setOutput("count", (value.has_value() ? std::any_cast<int>(value) : 0) + 1);
    return NodeStatus::SUCCESS;
  }
};

TEST(PortBindingTest, AnInoutPortReadsAndWritesOneEntry) {
  auto blackboard = core::Blackboard::create();
  auto ports = std::make_shared<const std::vector<core::PortInfo>>(std::vector<core::PortInfo>{
      {"count", core::PortDirection::INOUT, core::PortType::OBJECT, ""}});
  core::Tree tree(
      std::make_unique<Counter>(core::NodeConfig{
          "c", "Counter", ports, {core::PortBinding::entry("n")}, blackboard, nullptr, nullptr}),
      blackboard, std::make_shared<core::TreeTimers>(), "T");
  tree.tickOnce();
  tree.tickOnce();
  EXPECT_EQ(std::any_cast<int>(*blackboard->get("n")), 2);
  EXPECT_THROW(
      Counter(core::NodeConfig{
          "c", "Counter", nullptr, {core::PortBinding::entry("n")}, blackboard, nullptr, nullptr}),
      std::invalid_argument)
      << "a binding without a port";
}

}  // namespace
}  // namespace kelmora::testing
