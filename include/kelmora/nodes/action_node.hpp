#pragma once
// SimpleActionNode: a leaf whose tick is a tick function. Also the base class of action node
// classes: a class derived from it that carries a static `tick(TreeNode&)` and, optionally, a
// static `ports` list can be registered with ThreadEngine::register_action_class.

#include <kelmora/core/tree_node.hpp>

namespace kelmora::nodes {

class SimpleActionNode : public core::TreeNode {
 public:
  SimpleActionNode(core::NodeConfig config, core::TickFunctor tick);
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;

 private:
  core::TickFunctor tick_functor_;
};

}  // namespace kelmora::nodes

namespace kelmora {
using nodes::SimpleActionNode;
}
