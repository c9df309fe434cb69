// Reading and writing ports from tick functions: literals, blackboard references, {=}, and the
// errors for wrong directions, unbound ports and missing or non-text entries; numbers, booleans
// and text feeding the standard nodes' numeric and boolean ports.

#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

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

constexpr auto S = NodeStatus::SUCCESS;
constexpr auto F = NodeStatus::FAILURE;
constexpr auto R = NodeStatus::RUNNING;
constexpr auto K = NodeStatus::SKIPPED;

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

}  // namespace
}  // namespace kelmora::testing
