#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <utility>

namespace kelmora::nodes {

using core::NodeStatus;

SimpleActionNode::SimpleActionNode(core::NodeConfig config, core::TickFunctor tick)
    : core::TreeNode(std::move(config)), tick_functor_(std::move(tick)) {}

SimpleActionNode::SimpleActionNode(core::NodeConfig config) : core::TreeNode(std::move(config)) {}

NodeStatus SimpleActionNode::onTick() {
  if (!tick_functor_) throw core::NodeTickError(describe() + ": has no tick function");
  return tick_functor_(*this);
}

NodeStatus StatefulActionNode::onTick() {
  if (!running_) {
    const NodeStatus result = onStart();
    running_ = result == NodeStatus::RUNNING;
    return result;
  }
  // A throw keeps the run: the halt that follows a failed tick reaches onHalted().
  const NodeStatus result = onRunning();
  // IDLE (an error the core reports) keeps it too.
  running_ = result == NodeStatus::RUNNING || result == NodeStatus::IDLE;
  return result;
}

void StatefulActionNode::onHalt() {
  if (!running_) return;
  running_ = false;  // exactly once, even when onHalted() throws
  onHalted();
}

}  // namespace kelmora::nodes
