#include <kelmora/nodes/async_controls.hpp>
#include <utility>

namespace kelmora::nodes {

using core::NodeStatus;

AsyncSequenceNode::AsyncSequenceNode(core::NodeConfig config, Flavor flavor)
    : ControlNode(std::move(config)), flavor_(flavor) {}

NodeStatus AsyncSequenceNode::onTick() {
  const bool fallback = flavor_ == Flavor::kFallback;
  const NodeStatus stop = fallback ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
  if (status() != NodeStatus::RUNNING) {  // a new run begins
    current_ = 0;
    all_skipped_ = true;
  }
  setStatus(NodeStatus::RUNNING);
  const std::size_t count = childrenCount();
  while (current_ < count) {
    core::TreeNode& next = child(current_);
    const bool started_now = next.status() != NodeStatus::RUNNING;
    const NodeStatus result = next.executeTick();
    if (result == NodeStatus::SKIPPED) {
      ++current_;
      continue;
    }
    all_skipped_ = false;
    if (result == NodeStatus::RUNNING) return result;
    if (result == stop) {
      current_ = 0;
      haltChildren();
      return result;
    }
    ++current_;
    if (started_now && current_ < count) {
      emitWakeUpSignal();  // the next step is due: a waiting tick loop ticks at once
      return NodeStatus::RUNNING;
    }
  }
  current_ = 0;
  haltChildren();
  if (all_skipped_) return NodeStatus::SKIPPED;
  return fallback ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
}

}  // namespace kelmora::nodes
