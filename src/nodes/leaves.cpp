#include <fmt/format.h>

#include <algorithm>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/leaves.hpp>
#include <utility>

#include "../core/port_reference.hpp"

namespace kelmora::nodes {

using core::NodeStatus;
using Clock = core::TreeTimers::Clock;

AlwaysNode::AlwaysNode(core::NodeConfig config, NodeStatus result)
    : core::TreeNode(std::move(config)), result_(result) {}

NodeStatus AlwaysNode::onTick() { return result_; }

NodeStatus SetBlackboardNode::onTick() {
  const auto& attributes = config().attributes;
  auto key_it = attributes.find("output_key");
  auto value_it = attributes.find("value");
  if (key_it == attributes.end() || value_it == attributes.end()) {
    throw core::PortError(describe() + ": needs both 'value' and 'output_key'");
  }
  std::string key = core::details::reference_key(key_it->second, "output_key")
                        .value_or(std::string(core::details::trim(key_it->second)));
  if (key.empty()) {
    throw core::PortError(
        fmt::format("{}: port 'output_key' names no entry ('{}')", describe(), key_it->second));
  }
  std::any value = value_it->second;
  if (auto source = core::details::reference_key(value_it->second, "value")) {
    auto entry = blackboard()->get(*source);
    if (!entry) {
      throw core::PortError(
          fmt::format("{}: port 'value' refers to blackboard entry '{}', which was never written",
                      describe(), *source));
    }
    value = std::move(*entry);
  }
  blackboard()->set(key, std::move(value));
  return NodeStatus::SUCCESS;
}

NodeStatus SleepNode::onTick() {
  const auto now = Clock::now();
  if (!deadline_) {
    const std::int64_t msec = getInputInt("msec", 0);
    if (msec <= 0) return NodeStatus::SUCCESS;
    // At most a century, so that the deadline cannot overflow the clock.
    constexpr std::int64_t kLongestMsec = std::int64_t{100} * 365 * 24 * 3600 * 1000;
    deadline_ = now + std::chrono::milliseconds(std::min(msec, kLongestMsec));
  }
  if (now >= *deadline_) {
    deadline_.reset();
    return NodeStatus::SUCCESS;
  }
  if (timers() != nullptr) timers()->request_wakeup(*deadline_);
  return NodeStatus::RUNNING;
}

SubTreeNode::SubTreeNode(core::NodeConfig config, std::string subtree_id)
    : DecoratorNode(std::move(config)), subtree_id_(std::move(subtree_id)) {}

NodeStatus SubTreeNode::onTick() {
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (result != NodeStatus::RUNNING) haltChild();
  return result;
}

}  // namespace kelmora::nodes
