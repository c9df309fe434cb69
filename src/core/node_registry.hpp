#pragma once
// The node types a factory knows, and how to make each. Internal to the core.

#include <cstddef>
#include <functional>
#include <kelmora/core/tree_node.hpp>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelmora::core::details {

using NodeCreator = std::function<std::unique_ptr<TreeNode>(NodeConfig)>;

struct NodeType {
  NodeKind kind = NodeKind::ACTION;
  // Port "type" is "string" or "object" for registered actions; standard nodes also use "int",
  // "uint" (integer >= 0) and "bool", whose literal values the builder checks.
  PortsList ports;
  std::vector<std::string> required_ports;
  std::size_t min_children = 0;
  std::size_t max_children = 0;
  NodeCreator create;
};

inline constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

using NodeRegistry = std::map<std::string, NodeType, std::less<>>;

// The standard controls, decorators and leaves (SubTree is built by the builder itself).
NodeRegistry standard_nodes();

// The value of `key` in a port description, "" when absent.
inline const std::string& port_field(const PortDescription& port, const std::string& key) {
  static const std::string kEmpty;
  auto it = port.find(key);
  return it == port.end() ? kEmpty : it->second;
}

}  // namespace kelmora::core::details
