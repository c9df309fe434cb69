#pragma once
// The node types a factory knows, and how to make each. Internal to the core.

#include <cstddef>
#include <functional>
#include <kelmora/core/node_class.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora::core::details {

using core::NodeCreator;

// The core's access to what TreeNode keeps from node classes.
struct NodeAccess {
  // Makes the core halt the node's children whenever the node completes.
  static void halt_children_on_completion(TreeNode& node) noexcept {
    node.halt_children_on_completion_ = true;
  }
};

struct NodeType {
  NodeKind kind = NodeKind::ACTION;
  // Typed once, when the type is registered; every node of the type shares them.
  std::shared_ptr<const std::vector<PortInfo>> ports;
  std::vector<std::string> required_ports;
  std::size_t min_children = 0;
  std::size_t max_children = 0;
  NodeCreator create;
};

inline constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

struct NodeRegistry {
  std::map<std::string, NodeType, std::less<>> types;
  // Makes the node of a <SubTree ID="id"> element; the builder adds the subtree's root to it.
  std::function<std::unique_ptr<TreeNode>(NodeConfig, std::string id)> make_subtree;
};

// The standard controls, decorators and leaves, and SubTree.
NodeRegistry standard_nodes();
// Makes the nodes of a registered action: SimpleActionNodes running `tick`.
NodeCreator action_creator(TickFunctor tick);
// Makes the nodes of a registered condition: SimpleConditionNodes running `tick`.
NodeCreator condition_creator(TickFunctor tick);

// The typed form of a registration's port descriptions, or the reason they are malformed
// (action_registration_problem's text for them).
struct ParsedPorts {
  std::vector<PortInfo> ports;
  std::optional<std::string> problem;
};
ParsedPorts parse_ports(const std::string& action_id, const PortsList& ports);

}  // namespace kelmora::core::details
