#pragma once
// The standard leaves (AlwaysSuccess, AlwaysFailure, SetBlackboard, Sleep) and the SubTree node.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <kelmora/nodes/control_node.hpp>
#include <optional>
#include <string>

namespace kelmora::nodes {

// AlwaysSuccess / AlwaysFailure: returns `result` at once.
class AlwaysNode : public core::TreeNode {
 public:
  AlwaysNode(core::NodeConfig config, core::NodeStatus result);
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;

 private:
  core::NodeStatus result_;
};

// Writes `value` into the entry named by `output_key` ("key" or "{key}") and returns SUCCESS.
// A `value` of the form "{other}" copies the other entry's value (of any kind).
class SetBlackboardNode : public core::TreeNode {
 public:
  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;
};

// Returns RUNNING until `msec` milliseconds have passed since its first tick, then SUCCESS.
// Never blocks: it asks the tree to be ticked again at its deadline.
class SleepNode : public core::TreeNode {
 public:
  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { deadline_.reset(); }

 private:
  std::optional<core::TreeTimers::Clock::time_point> deadline_;
};

// Runs another BehaviorTree (its root is this node's one child) on a blackboard of its own whose
// entries are remapped to the caller's as the XML says.
class SubTreeNode : public DecoratorNode {
 public:
  SubTreeNode(core::NodeConfig config, std::string subtree_id);
  core::NodeKind kind() const noexcept override { return core::NodeKind::SUBTREE; }
  const std::string& subtreeId() const noexcept { return subtree_id_; }

 protected:
  core::NodeStatus onTick() override;

 private:
  std::string subtree_id_;
};

}  // namespace kelmora::nodes
