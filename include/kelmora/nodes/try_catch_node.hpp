#pragma once
// TryCatch: runs its first children as a Sequence (the try block) and, when one of them fails,
// its last child (the catch). docs/core.md describes a tick.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <kelmora/nodes/control_node.hpp>

namespace kelmora::nodes {

// Two or more children. The try block (every child but the last) runs like a Sequence: a RUNNING
// child returns RUNNING and the next tick resumes at it; a skipped child is passed over; all
// SUCCESS gives SUCCESS without ticking the catch (all skipped: SKIPPED). The first FAILURE halts
// the try block and ticks the catch in the same tick, and on later ticks until it completes; the
// node then returns FAILURE, whatever the catch returned.
// A halt halts the running child. With `catch_on_halt="true"` a halt that comes while the try
// block runs also ticks the catch once (after halting the try block), halting it at once if it
// returns RUNNING.
class TryCatchNode : public ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override;

 private:
  // Halts the children and forgets the run: the node completes with `result`.
  core::NodeStatus finish(core::NodeStatus result);

  std::size_t current_ = 0;  // the try child to tick next
  bool catching_ = false;    // the catch is running
  bool all_skipped_ = true;  // every try child so far was skipped
};

}  // namespace kelmora::nodes
