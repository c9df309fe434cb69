#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <utility>

namespace kelmora::nodes {

SimpleActionNode::SimpleActionNode(core::NodeConfig config, core::TickFunctor tick)
    : core::TreeNode(std::move(config)), tick_functor_(std::move(tick)) {}

core::NodeStatus SimpleActionNode::onTick() {
  if (!tick_functor_) throw core::NodeTickError(describe() + ": has no tick function");
  return tick_functor_(*this);
}

}  // namespace kelmora::nodes
