// Reading and writing ports from tick functions: literals, blackboard references, {=}, and the
// errors for wrong directions, unbound ports and missing or non-text entries.

#include <gtest/gtest.h>

#include <any>
#include <functional>
#include <kelmora/core/errors.hpp>

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

}  // namespace
}  // namespace kelmora::testing
