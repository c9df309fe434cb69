#pragma once
// Tree: a built behaviour tree (its nodes and its root blackboard).
//
// Not thread-safe: ticked by one thread. Two things may be used from other threads: a stop token
// set on it (through its std::stop_source) makes waits and tick loops end early, and its wake-up
// signal (emitWakeUpSignal) makes a waiting tick loop tick again at once.

#include <cstdint>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/transitions.hpp>
#include <kelmora/core/tree_node.hpp>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora::core {

class Tree {
 public:
  // An empty tree: no root, an empty blackboard; ticking it throws std::logic_error.
  Tree();
  // A tree of nodes made by hand (the factory builds trees from XML this way): `root` and every
  // node below it must have been made with `blackboard` (or a SubTree blackboard below it) and
  // `timers` in their NodeConfig. std::invalid_argument for a null root, blackboard or timers.
  Tree(std::unique_ptr<TreeNode> root, std::shared_ptr<Blackboard> blackboard,
       std::shared_ptr<TreeTimers> timers, std::string main_tree_id);
  // Halts the running nodes first (as haltNode() does: a stateful action's onHalted runs), on
  // the destroying thread; a failure of that halt is logged, never thrown. Move-assigning over a
  // tree halts the tree it replaces the same way.
  ~Tree();
  Tree(Tree&&) noexcept;
  Tree& operator=(Tree&&) noexcept;

  // Ticks the root once and returns its status. When the tick throws (a NodeTickError from a
  // tick function, a TreeStoppedError from a stop), the tree is halted as a parent halts a
  // running child: every node IDLE, blackboard kept, and what nodes keep across halts kept too
  // (a SequenceWithMemory resumes at the child that threw, a RunOnce that ran stays done); the
  // error passes on (a failure of that halt is logged, not thrown). Throws std::logic_error on an
  // empty (default-made) tree, and RuntimeError when called from inside a tick of this tree (see
  // refuseWhileTicking). An `_onHalted` script that fails while the tick halts nodes fails the
  // tick the same way, once the tick is over (its NodeTickError names the node and the
  // attribute).
  NodeStatus tickOnce();
  // Halts every running node and sets every node to IDLE; the blackboard is kept. Nodes also
  // forget what they keep across ordinary halts (a RunOnce runs again). RuntimeError when called
  // from inside a tick of this tree. A halt that throws (a NodeTickError naming the node), or an
  // `_onHalted` script that fails, does not stop the others: every node ends IDLE, and the first
  // failure is thrown.
  void haltTree();
  // Halts every running node as a parent halts a running child (and as a tick that threw does):
  // every node IDLE, the blackboard and what nodes keep across halts kept (a SequenceWithMemory
  // resumes where it was, a RunOnce that ran stays done). Used when a tick loop is stopped or
  // cancelled and when the tree's engine ends. RuntimeError when called from inside a tick of
  // this tree.
  void halt();

  // Whether a tick of this tree is in progress: a tick function running now was called by it.
  bool isTicking() const noexcept;
  // Throws kelmora::RuntimeError "<operation> was called from inside a tick of the tree it would
  // change; ..." when a tick of this tree is in progress, and does nothing otherwise. Every
  // operation that would tick, halt, reset or replace this tree calls it first, so that a tick
  // function cannot free or rewind nodes that are still on the stack (Tree's own tickOnce and
  // haltTree, and SequentialEngine's building, ticking and reset operations). Reading the
  // tree's state and reading and writing its blackboard stay allowed. Destroying or
  // move-assigning a Tree from inside its own tick is not checked and must not be done.
  void refuseWhileTicking(std::string_view operation) const;

  TreeNode* rootNode() const noexcept;
  const std::shared_ptr<Blackboard>& rootBlackboard() const noexcept;
  // All nodes, depth first from the root (a SubTree's nodes follow the SubTree node); see also
  // visit_depth_first in tree_node.hpp.
  std::vector<TreeNode*> nodes() const;
  // The ID of the BehaviorTree this tree was built from.
  const std::string& mainTreeId() const noexcept;

  // The log of the tree's status changes (see transitions.hpp): recording is off until an
  // observer turns it on. Every node of the tree reports to it.
  TransitionLog& transitionLog() noexcept;
  const TransitionLog& transitionLog() const noexcept;

  // The earliest time a time-based node asked to be ticked again during the last tick; none
  // when no node is waiting for time to pass.
  std::optional<TreeTimers::Clock::time_point> nextWakeup() const noexcept;

  // Token checked by time-based nodes, tick loops and the loops inside a tick (Repeat and
  // RetryUntilSuccessful check it between cycles); a requested stop makes them end promptly.
  void setStopToken(std::stop_token token);
  const std::stop_token& stopToken() const noexcept;

  // The signal this tree's tick loops wait on (see WakeUpSignal); its nodes emit it with
  // TreeNode::emitWakeUpSignal. setWakeUpSignal replaces it (an engine gives every tree it holds
  // its own, so that the application can wake whichever tree it holds); call it before the first
  // tick. Null for an empty tree.
  void setWakeUpSignal(std::shared_ptr<WakeUpSignal> signal);
  std::shared_ptr<WakeUpSignal> wakeUpSignal() const;
  // The application's wake-up: a tick loop waiting on this tree ticks at once. Thread-safe.
  void emitWakeUpSignal() const noexcept;

 private:
  // After a tick that threw: the root halted; halt-script failures on the way dropped.
  void haltAfterFailedTick();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelmora::core
