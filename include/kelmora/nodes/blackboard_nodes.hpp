#pragma once
// The standard nodes that work on blackboard entries: UnsetBlackboard, WasEntryUpdated,
// SkipUnlessUpdated, WaitValueUpdate and the Loop decorators (LoopInt, LoopDouble, LoopString,
// LoopBool). docs/core.md describes them.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <any>
#include <cstdint>
#include <deque>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <optional>
#include <string>

namespace kelmora::nodes {

// Removes the entry `key` names (a literal name, or with "{k}" the name entry k holds) and
// returns SUCCESS, also when there was none.
class UnsetBlackboardNode : public core::TreeNode {
 public:
  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;
};

// What the "updated" nodes share: whether the entry their `entry` port names ("x" or "{x}") was
// written since the node last looked. The first look counts as an update when the entry exists.
// A reset of the tree forgets what was seen.
class EntryWatch {
 public:
  // Whether the entry was written since the last call; false when it does not exist.
  bool updated(const core::TreeNode& node);
  void forget() noexcept { seen_.reset(); }

 private:
  std::optional<std::uint64_t> seen_;
};

// SUCCESS when the entry was written since this node last looked, FAILURE otherwise (and when it
// does not exist).
class WasEntryUpdatedNode : public core::TreeNode {
 public:
  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;
  void onReset() override { watch_.forget(); }

 private:
  EntryWatch watch_;
};

// Ticks its child only when the entry was updated since the last look (a RUNNING child is ticked
// without a check); otherwise returns SKIPPED (`wait` false) or RUNNING (`wait` true:
// WaitValueUpdate). Halting it halts the child; WaitValueUpdate then waits for the next write.
class EntryUpdatedDecorator : public DecoratorNode {
 public:
  EntryUpdatedDecorator(core::NodeConfig config, bool wait);

 protected:
  core::NodeStatus onTick() override;
  void onReset() override { watch_.forget(); }

 private:
  bool wait_;
  EntryWatch watch_;
};

// LoopInt, LoopDouble, LoopString, LoopBool: while the child is not running, takes the front of
// `queue` into the output `value` (when bound) and ticks the child; returns RUNNING after every
// element, the child's FAILURE (the rest stays queued), and `if_empty` (SUCCESS, FAILURE or
// SKIPPED; default SUCCESS) when the queue is empty before a take. `queue` is literal text
// (items separated by ';', converted when the tree is built) or "{entry}" holding a
// std::deque of the loop's type or of std::any (consumed in place: each take writes the entry),
// a std::vector of those (copied when a run starts) or text (parsed when a run starts). A
// literal queue, or a copy, starts again from the top after a halt or once it ran empty.
class LoopNode : public DecoratorNode {
 public:
  enum class ItemType { integer, real, string, boolean };
  LoopNode(core::NodeConfig config, ItemType type);

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { own_.reset(); }

 private:
  // The next element, taken off the queue; std::nullopt when it is empty.
  std::optional<std::any> take();
  core::NodeStatus emptyStatus() const;

  ItemType type_;
  std::optional<std::deque<std::any>> literal_;  // a literal queue, converted when made
  std::optional<std::deque<std::any>> own_;      // the queue of this run, unless consumed in place
  std::optional<core::NodeStatus> if_empty_;     // a literal `if_empty`, converted when made
};

}  // namespace kelmora::nodes
