#include <fmt/format.h>

#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/leaves.hpp>
#include <string_view>
#include <utility>

#include "common/text.hpp"

namespace kelmora::nodes {

using core::NodeStatus;
using Clock = core::TreeTimers::Clock;

AlwaysNode::AlwaysNode(core::NodeConfig config, NodeStatus result)
    : core::TreeNode(std::move(config)), result_(result) {}

NodeStatus AlwaysNode::onTick() { return result_; }

NodeStatus SetBlackboardNode::onTick() {
  const core::PortBinding* target = portBinding("output_key");
  const core::PortBinding* source = portBinding("value");
  if (target == nullptr || source == nullptr || !target->bound() || !source->bound()) {
    throw core::PortError(describe() + ": needs both 'value' and 'output_key'", this);
  }
  // output_key names the entry as "key" or "{key}".
  const std::string key(
      target->kind == core::PortBinding::Kind::ENTRY ? target->text : common::trim(target->text));
  if (key.empty()) {
    throw core::PortError(
        fmt::format("{}: port 'output_key' names no entry ('{}')", describe(), target->text), this);
  }
  std::any value = source->text;                         // a literal: the text
  if (source->kind == core::PortBinding::Kind::ENTRY) {  // "{other}": a copy of that entry
    auto entry = blackboard()->get(source->text);
    if (!entry) {
      throw core::PortError(
          fmt::format("{}: port 'value' refers to blackboard entry '{}', which was never written",
                      describe(), source->text),
          this);
    }
    value = *std::move(entry);
  }
  blackboard()->set(key, std::move(value));
  return NodeStatus::SUCCESS;
}

NodeStatus SleepNode::onTick() {
  const auto now = Clock::now();
  if (!deadline_) {
    const std::int64_t msec = getInputInt("msec", 0);
    if (msec <= 0) return NodeStatus::SUCCESS;
    deadline_ = core::TreeTimers::deadline_after(now, msec);
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
