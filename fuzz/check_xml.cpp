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
#include <kelmora/engine/sequential_engine.hpp>
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

// Registers the four test actions on a factory or an engine.
template <class Registry>
void register_test_actions(Registry& registry) {
  const core::PortsList ports = {core::make_port("in_text", "string", "input"),
                                 core::make_port("in_obj", "object", "input"),
                                 core::make_port("out", "object", "output")};
  registry.register_action_behavior(
      "Act", [](TreeNode& node) { return use_ports(node, false); }, ports);
  registry.register_action_behavior(
      "Check", [](TreeNode& node) { return use_ports(node, true); }, ports);
  registry.register_action_behavior(
      "Fail", [](TreeNode&) -> NodeStatus { throw std::runtime_error("fuzz: the action failed"); },
      {});
  registry.register_action_behavior("Idle", [](TreeNode&) { return NodeStatus::IDLE; }, {});
}

const core::BehaviorTreeFactory& factory() {
  static const core::BehaviorTreeFactory instance = [] {
    core::BehaviorTreeFactory f;
    register_test_actions(f);
    return f;
  }();
  return instance;
}

// The engine the thread engine's workers use, fed the trees that build; it keeps the last one.
engine::SequentialEngine& sequential_engine() {
  static engine::SequentialEngine instance = [] {
    engine::SequentialEngine e;
    register_test_actions(e);
    return e;
  }();
  return instance;
}

std::int64_t status_int(const core::AnyMap& status, const std::string& key) {
  auto it = status.find(key);
  const auto* value = it == status.end() ? nullptr : std::any_cast<std::int64_t>(&it->second);
  return value != nullptr ? *value : -1;
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
    for (const auto& binding : node->portBindings()) {
      if (binding.kind != core::PortBinding::Kind::LITERAL) continue;
      const std::string& value = binding.text;
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

// The same text through a SequentialEngine, as a tree's worker drives it: it must build too,
// and its status map must describe the tree and follow the ticks and the reset.
void check_sequential_engine(const core::Tree& tree, std::string_view text) {
  engine::SequentialEngine& engine = sequential_engine();
  try {
    engine.create_tree_from_text(std::string(text));
  } catch (const core::TreeBuildError& e) {
    found(std::string("the engine refused what the factory built: ") + e.what(), text);
  }
  std::int64_t ticks = 3;
  try {
    if (engine.tick_n_times(3).size() != 3) found("tick_n_times(3) gave another count", text);
  } catch (const core::NodeTickError&) {
    ticks = -1;  // stopped at the failed tick, which counts
  }
  core::AnyMap status = engine.get_tree_status();
  const auto* nodes = std::any_cast<std::vector<core::AnyMap>>(&status["nodes"]);
  if (nodes == nullptr || nodes->size() != tree.nodes().size()) {
    found("the status map does not list every node", text);
  }
  const std::int64_t counted = status_int(status, "tick_count");
  if (ticks >= 0 ? counted != ticks : (counted < 1 || counted > 3)) {
    found("tick_count " + std::to_string(counted) + " after tick_n_times(3)", text);
  }
  (void)engine.get_all_blackboard_data();
  engine.reset_tree();
  status = engine.get_tree_status();
  if (status_int(status, "tick_count") != 0) found("reset left tick_count", text);
  if (core::any_to_text(status["status"]) != "IDLE") found("reset left a status", text);
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
  if (ticks_are_bounded(*tree)) check_sequential_engine(*tree, text);
}

}  // namespace kelmora::fuzz
