// The XML check: building a tree from any text, and ticking what builds.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/tree.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "fuzz_checks.hpp"

namespace kelmora::fuzz {
namespace {

using core::NodeStatus;
using core::TreeNode;

// Calls of the test actions; their statuses cycle through it so that controls see every result.
unsigned g_calls = 0;

NodeStatus next_status(bool condition) {
  const unsigned n = g_calls++;
  if (condition) return n % 3 == 0 ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
  constexpr NodeStatus kCycle[] = {NodeStatus::SUCCESS, NodeStatus::RUNNING, NodeStatus::FAILURE,
                                   NodeStatus::SUCCESS, NodeStatus::SKIPPED};
  return kCycle[n % 5];
}

// Reads every bound input and writes the output: a copy of the text input (so the values in the
// blackboard stay as long as the texts in the document).
NodeStatus use_ports(TreeNode& node, bool condition) {
  std::string text;
  if (node.isPortBound("in_text")) text = node.getInputString("in_text");
  if (node.isPortBound("in_obj")) (void)node.getInputObject("in_obj");
  if (node.isPortBound("out")) node.setOutput("out", text);
  return next_status(condition);
}

const core::BehaviorTreeFactory& factory() {
  static const core::BehaviorTreeFactory instance = [] {
    core::BehaviorTreeFactory f;
    const core::PortsList ports = {core::make_port("in_text", "string", "input"),
                                   core::make_port("in_obj", "object", "input"),
                                   core::make_port("out", "object", "output")};
    f.register_action_behavior(
        "Act", [](TreeNode& node) { return use_ports(node, false); }, ports);
    f.register_action_behavior(
        "Check", [](TreeNode& node) { return use_ports(node, true); }, ports);
    f.register_action_behavior(
        "Fail",
        [](TreeNode&) -> NodeStatus { throw std::runtime_error("fuzz: the action failed"); }, {});
    f.register_action_behavior("Idle", [](TreeNode&) { return NodeStatus::IDLE; }, {});
    return f;
  }();
  return instance;
}

[[noreturn]] void found(const std::string& what, std::string_view text) {
  throw FuzzFinding(what + " (input of " + std::to_string(text.size()) + " bytes)");
}

void expect_all_idle(const core::Tree& tree, const char* after, std::string_view text) {
  for (const TreeNode* node : tree.nodes()) {
    if (node->status() != NodeStatus::IDLE) {
      found(std::string("after ") + after + ", " + node->describe() + " is " +
                std::string(core::to_string(node->status())) + ", not IDLE",
            text);
    }
  }
}

// Repeat and RetryUntilSuccessful loop inside one tick, up to their count each, so nested ones
// multiply. Every integer a tick can read comes from an attribute of a built node (literal ports,
// SetBlackboard values, SubTree literals, copies made by Act), so the largest of those bounds
// every count. Ticking is skipped when the product could pass 100,000 loops: such a tree
// rightly runs for a very long time.
bool ticks_are_bounded(const core::Tree& tree) {
  const auto nodes = tree.nodes();
  const auto loops = std::count_if(nodes.begin(), nodes.end(), [](const TreeNode* node) {
    return node->registration_id() == "Repeat" || node->registration_id() == "RetryUntilSuccessful";
  });
  if (loops == 0) return true;
  double largest = 1;
  for (const TreeNode* node : nodes) {
    for (const auto& [port, value] : node->config().attributes) {
      std::size_t i = 0;
      while (i < value.size()) {
        if (!std::isdigit(static_cast<unsigned char>(value[i]))) {
          ++i;
          continue;
        }
        std::size_t end = i;
        while (end < value.size() && std::isdigit(static_cast<unsigned char>(value[end]))) ++end;
        if (end - i > 9) return false;  // a count this large is never bounded
        largest = std::max(largest, std::strtod(value.substr(i, end - i).c_str(), nullptr));
        i = end;
      }
    }
  }
  return static_cast<double>(loops) * std::log10(largest + 1) <= 5.0;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

std::filesystem::path enter_include_folder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelmora-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  const std::filesystem::path folder = pattern;
  write_file(folder / "inc_leaf.xml",
             R"(<root BTCPP_format="4"><BehaviorTree ID="Leaf">)"
             R"(<Act in_text="{text}" out="{copy}"/></BehaviorTree></root>)");
  write_file(folder / "inc_main.xml",
             R"(<root BTCPP_format="4"><include path="inc_leaf.xml"/>)"
             R"(<BehaviorTree ID="Inc"><Sequence><SubTree ID="Leaf" text="x"/><Check/>)"
             R"(</Sequence></BehaviorTree></root>)");
  write_file(folder / "inc_self.xml",
             R"(<root BTCPP_format="4"><include path="inc_self.xml"/></root>)");
  write_file(folder / "inc_broken.xml", R"(<root BTCPP_format="4"><BehaviorTree ID="B">)");
  std::filesystem::current_path(folder);
  return folder;
}

void check_xml(std::string_view text) {
  std::optional<core::Tree> tree;
  try {
    tree.emplace(factory().create_tree_from_text(std::string(text)));
  } catch (const core::TreeBuildError& e) {
    if (std::string_view(e.what()).empty()) found("a build error without a message", text);
    return;
  }

  if (tree->rootNode() == nullptr) found("a built tree without a root", text);
  if (ticks_are_bounded(*tree)) {
    g_calls = 0;
    for (int i = 0; i < 4; ++i) {
      try {
        const NodeStatus status = tree->tickOnce();
        if (status == NodeStatus::IDLE) found("a tick returned IDLE", text);
        if (tree->rootNode()->status() != status)
          found("the root's status is not the tick's", text);
      } catch (const core::NodeTickError& e) {
        if (std::string_view(e.what()).rfind("node '", 0) != 0) {
          found(std::string("a tick error that names no node: ") + e.what(), text);
        }
        expect_all_idle(*tree, "a failed tick", text);
      }
    }
  }
  tree->haltTree();
  expect_all_idle(*tree, "halting the tree", text);
  (void)tree->rootBlackboard()->entries();
}

}  // namespace kelmora::fuzz
