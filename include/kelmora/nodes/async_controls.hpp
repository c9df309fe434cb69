#pragma once
// AsyncSequence and AsyncFallback: a Sequence and a Fallback that end the tick between two
// children, so that a reactive parent re-checks its conditions before the next step.
// docs/core.md describes a tick.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <kelmora/nodes/control_node.hpp>

namespace kelmora::nodes {

// Ticks the children in order, like Sequence (Fallback: SUCCESS and FAILURE swapped): FAILURE
// halts the children and fails, a RUNNING child returns RUNNING and the next tick resumes at it,
// all passed gives SUCCESS, all skipped SKIPPED. The difference: when a child that was not
// RUNNING before this tick completes in it and more children are to go, the node returns
// RUNNING at once and asks for the tree to be ticked again; the next tick starts at the next
// child. A child that was RUNNING and completes, or is skipped, leads straight on to the next.
// A halt halts the running child; the next run starts at the first child.
class AsyncSequenceNode : public ControlNode {
 public:
  enum class Flavor { kSequence, kFallback };
  AsyncSequenceNode(core::NodeConfig config, Flavor flavor);

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { current_ = 0; }

 private:
  Flavor flavor_;
  std::size_t current_ = 0;
  bool all_skipped_ = true;
};

}  // namespace kelmora::nodes
