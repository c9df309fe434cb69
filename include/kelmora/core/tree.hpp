#pragma once
// Tree: a built behaviour tree (its nodes and its root blackboard).
//
// Not thread-safe: ticked by one thread. A stop token set on it is the one thing another thread
// may use (through its std::stop_source) to make waits and tick loops end early.

#include <cstdint>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/tree_node.hpp>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace kelmora::core {

class Tree {
 public:
  Tree();
  ~Tree();
  Tree(Tree&&) noexcept;
  Tree& operator=(Tree&&) noexcept;

  // Ticks the root once and returns its status. When a tick function throws, the tree is
  // halted (every node IDLE, blackboard kept) and the NodeTickError passes on, so the next tick
  // starts afresh from the root. Throws std::logic_error on an empty (default-made) tree.
  NodeStatus tickOnce();
  // Halts every running node and sets every node to IDLE; the blackboard is kept. Nodes also
  // forget what they keep across ordinary halts (a RunOnce runs again).
  void haltTree();

  TreeNode* rootNode() const noexcept;
  const std::shared_ptr<Blackboard>& rootBlackboard() const noexcept;
  // All nodes, depth first from the root (a SubTree's nodes follow the SubTree node).
  std::vector<TreeNode*> nodes() const;
  // The ID of the BehaviorTree this tree was built from.
  const std::string& mainTreeId() const noexcept;

  // The earliest time a time-based node asked to be ticked again during the last tick; none
  // when no node is waiting for time to pass.
  std::optional<TreeTimers::Clock::time_point> nextWakeup() const noexcept;

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
