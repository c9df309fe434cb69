#pragma once
// The status a node (and so a tree) returns from a tick.

#include <ostream>
#include <string_view>

namespace kelmora::core {

enum class NodeStatus { IDLE, RUNNING, SUCCESS, FAILURE, SKIPPED };

// The status's name: "IDLE", "RUNNING", "SUCCESS", "FAILURE", "SKIPPED". Thread-safe.
constexpr std::string_view to_string(NodeStatus status) noexcept {
  switch (status) {
    case NodeStatus::IDLE:
      return "IDLE";
    case NodeStatus::RUNNING:
      return "RUNNING";
    case NodeStatus::SUCCESS:
      return "SUCCESS";
    case NodeStatus::FAILURE:
      return "FAILURE";
    case NodeStatus::SKIPPED:
      return "SKIPPED";
  }
  return "UNKNOWN";
}

// True for SUCCESS and FAILURE.
constexpr bool is_completed(NodeStatus status) noexcept {
  return status == NodeStatus::SUCCESS || status == NodeStatus::FAILURE;
}

inline std::ostream& operator<<(std::ostream& os, NodeStatus status) {
  return os << to_string(status);
}

}  // namespace kelmora::core
