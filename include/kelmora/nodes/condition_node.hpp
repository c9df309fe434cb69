#pragma once
// ConditionNode: a leaf that checks something and returns SUCCESS or FAILURE (SKIPPED passes),
// never RUNNING: a condition that returns RUNNING fails the tick with a NodeTickError naming it
// ("node 'n' (id): a condition must not return RUNNING"). It should have no side effects.
//
// A condition written by a user derives from ConditionNode, overrides onTick() and is registered
// with register_node_class<T>(); a condition from a function (register_condition_behavior) is a
// SimpleConditionNode.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <kelmora/core/tree_node.hpp>

namespace kelmora::nodes {

class ConditionNode : public core::TreeNode {
 public:
  // The kind of node classes derived from it (see core::node_class).
  static constexpr core::NodeKind kNodeClassKind = core::NodeKind::CONDITION;

  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::CONDITION; }
};

// A condition whose tick is a tick function.
class SimpleConditionNode : public ConditionNode {
 public:
  SimpleConditionNode(core::NodeConfig config, core::TickFunctor tick);

 protected:
  core::NodeStatus onTick() override;

 private:
  core::TickFunctor tick_functor_;
};

}  // namespace kelmora::nodes

namespace kelmora {
using nodes::ConditionNode;
}  // namespace kelmora
