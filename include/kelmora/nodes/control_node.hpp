#pragma once
// Base classes of the nodes that have children: ControlNode (one or more children) and
// DecoratorNode (exactly one child). Both own their children.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <kelmora/core/tree_node.hpp>
#include <memory>
#include <vector>

namespace kelmora::nodes {

class ControlNode : public core::TreeNode {
 public:
  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::CONTROL; }
  std::vector<core::TreeNode*> children() const override;

  // Appends a child; the tree builder adds them in XML order.
  void addChild(std::unique_ptr<core::TreeNode> child);
  std::size_t childrenCount() const noexcept { return children_.size(); }

 protected:
  core::TreeNode& child(std::size_t index) const { return *children_.at(index); }
  // Halts every child (each one and its descendants end IDLE).
  void haltChildren() { haltChildren(0); }
  // Halts the children from `first` on.
  void haltChildren(std::size_t first);
  void onHalt() override { haltChildren(); }

 private:
  std::vector<std::unique_ptr<core::TreeNode>> children_;
};

class DecoratorNode : public core::TreeNode {
 public:
  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::DECORATOR; }
  std::vector<core::TreeNode*> children() const override;

  // Sets the one child; the tree builder calls it once.
  void setChild(std::unique_ptr<core::TreeNode> child);

 protected:
  core::TreeNode& child() const { return *child_; }
  void haltChild() {
    if (child_) child_->haltNode();
  }
  void onHalt() override { haltChild(); }

 private:
  std::unique_ptr<core::TreeNode> child_;
};

}  // namespace kelmora::nodes
