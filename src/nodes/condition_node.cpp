#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/condition_node.hpp>
#include <utility>

namespace kelmora::nodes {

SimpleConditionNode::SimpleConditionNode(core::NodeConfig config, core::TickFunctor tick)
    : ConditionNode(std::move(config)), tick_functor_(std::move(tick)) {}

core::NodeStatus SimpleConditionNode::onTick() {
  if (!tick_functor_) throw core::NodeTickError(describe() + ": has no tick function");
  return tick_functor_(*this);
}

}  // namespace kelmora::nodes
