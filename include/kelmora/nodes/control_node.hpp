#pragma once
// Base classes of the nodes that have children: ControlNode (one or more children) and
// DecoratorNode (exactly one child). A node keeps its children; TreeNode offers what a control
// needs to run them: childrenCount(), child(i) and its executeTick() and status(), haltChild(i),
// haltChildren(). The core keeps the format's rules around them: a halted RUNNING node is asked
// to drop its progress (onHalt) and its children are then halted for it; a completed or IDLE
// child needs no halt callback.
//
// A control written by a user derives from ControlNode and overrides onTick() (and onHalt() when
// it keeps progress between ticks, validate() when it checks its children or ports once built),
// and is registered with register_node_class<T>() (docs/nodes.md). The core then also halts its
// children whenever it completes, and the builder checks it has at least one child (a
// decorator: exactly one):
//
//   class FirstSuccess : public kelmora::nodes::ControlNode {
//    public:
//     using ControlNode::ControlNode;
//    protected:
//     kelmora::core::NodeStatus onTick() override {
//       setStatus(kelmora::core::NodeStatus::RUNNING);
//       for (std::size_t i = 0; i < childrenCount(); ++i) {
//         const auto result = child(i).executeTick();
//         if (result == kelmora::core::NodeStatus::RUNNING) return result;
//         if (result == kelmora::core::NodeStatus::SUCCESS) {
//           haltChildren();  // leave no child running or completed behind
//           return result;
//         }
//       }
//       haltChildren();
//       return kelmora::core::NodeStatus::FAILURE;
//     }
//   };
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <kelmora/core/tree_node.hpp>
#include <memory>

namespace kelmora::nodes {

class ControlNode : public core::TreeNode {
 public:
  // The kind of node classes derived from it (see core::node_class).
  static constexpr core::NodeKind kNodeClassKind = core::NodeKind::CONTROL;

  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::CONTROL; }

  // Appends a child; the tree builder adds them in XML order. std::invalid_argument for null.
  void addChild(std::unique_ptr<core::TreeNode> child) override { appendChild(std::move(child)); }
};

class DecoratorNode : public core::TreeNode {
 public:
  static constexpr core::NodeKind kNodeClassKind = core::NodeKind::DECORATOR;

  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::DECORATOR; }

  // Sets the one child; a second one is refused (TreeBuildError naming the node).
  void addChild(std::unique_ptr<core::TreeNode> child) override;

  using core::TreeNode::child;
  // The one child; std::out_of_range naming the node when it has none.
  core::TreeNode& child() { return child(0); }

 protected:
  using core::TreeNode::haltChild;
  // Halts the child (it and its descendants end IDLE).
  void haltChild() { haltChildren(); }
};

}  // namespace kelmora::nodes
