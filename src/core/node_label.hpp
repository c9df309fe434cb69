#pragma once
// How messages name a node. Internal to the core.

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace kelmora::core::details {

// "node 'name' (registration id)", as TreeNode::describe() and build errors begin.
inline std::string node_label(std::string_view name, std::string_view registration_id) {
  return fmt::format("node '{}' ({})", name, registration_id);
}

}  // namespace kelmora::core::details
