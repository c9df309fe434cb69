#pragma once
// ParallelAll: runs every child to completion, then succeeds unless `max_failures` of them
// failed. docs/core.md describes a tick.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <cstdint>
#include <kelmora/nodes/control_node.hpp>
#include <vector>

namespace kelmora::nodes {

// Each tick ticks every child that has not completed (SUCCESS, FAILURE or SKIPPED) in this run,
// never halting one early. Once all have completed: SKIPPED when all were skipped, FAILURE when
// at least `max_failures` failed, else SUCCESS; the children are then reset. `max_failures`
// defaults to 1; -1 means the number of children (-n: that number + 1 - n); 0 fails every run
// that is not all skipped. A value outside 0 .. the number of children is a PortError naming the
// node (at build time for a literal, at the tick for an entry).
class ParallelAllNode : public ControlNode {
 public:
  using ControlNode::ControlNode;
  void validate() override;

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { clearRun(); }

 private:
  std::size_t maxFailures() const;
  void clearRun();

  std::vector<bool> completed_;  // per child, during a run
  std::size_t completed_count_ = 0;
  std::size_t failures_ = 0;
  std::size_t skipped_ = 0;
};

}  // namespace kelmora::nodes
