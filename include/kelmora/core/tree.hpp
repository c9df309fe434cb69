#pragma once
// Tree: a built behaviour tree (its nodes and its root blackboard).
//
// Not thread-safe: ticked by one thread. A stop token set on it is the one thing another thread
// may use (through its std::stop_source) to make waits and tick loops end early.

#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/tree_node.hpp>

#include <cstdint>
#include <memory>
#include <stop_token>
#include <vector>

namespace kelmora::core {

class Tree {
 public:
  Tree();
  ~Tree();
  Tree(Tree&&) noexcept;
  Tree& operator=(Tree&&) noexcept;

  // Ticks the root once and returns its status.
  NodeStatus tickOnce();
  // Halts every running node and sets every node to IDLE; the blackboard is kept.
  void haltTree();

  TreeNode* rootNode() const noexcept;
  const std::shared_ptr<Blackboard>& rootBlackboard() const noexcept;
  // All nodes, depth first from the root.
  std::vector<TreeNode*> nodes() const;

  // Token checked by time-based nodes and tick loops; a requested stop makes them end promptly.
  void setStopToken(std::stop_token token);
  const std::stop_token& stopToken() const noexcept;

  struct Impl;
  explicit Tree(std::unique_ptr<Impl> impl);
  Impl& impl() noexcept { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelmora::core
