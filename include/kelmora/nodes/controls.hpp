#pragma once
// The standard control nodes: Sequence, SequenceWithMemory, Fallback, ReactiveSequence,
// ReactiveFallback, Parallel, IfThenElse, WhileDoElse. docs/core.md describes what each tick does.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <cstdint>
#include <kelmora/nodes/control_node.hpp>
#include <string_view>
#include <vector>

namespace kelmora::nodes {

// Ticks the children in order, one tick going on through every child that completes at once.
// Sequence: a FAILURE halts the children and ends it with FAILURE; all SUCCESS -> SUCCESS.
// Fallback: the same with SUCCESS and FAILURE swapped. A RUNNING child returns RUNNING and the
// next tick resumes at that child. SequenceWithMemory: after a FAILURE the next tick resumes at
// the failed child (the position also survives halts; only a tree reset forgets it).
class SequenceNode : public ControlNode {
 public:
  enum class Flavor { kSequence, kSequenceWithMemory, kFallback };
  SequenceNode(core::NodeConfig config, Flavor flavor);

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override;
  void onReset() override { current_ = 0; }

 private:
  Flavor flavor_;
  std::size_t current_ = 0;
  bool all_skipped_ = true;
};

// Every tick starts again at the first child, so earlier children (conditions) are re-checked.
// A child that returns RUNNING halts every other child. ReactiveSequence stops at FAILURE,
// ReactiveFallback at SUCCESS.
class ReactiveNode : public ControlNode {
 public:
  enum class Flavor { kSequence, kFallback };
  ReactiveNode(core::NodeConfig config, Flavor flavor);

 protected:
  core::NodeStatus onTick() override;

 private:
  Flavor flavor_;
};

// Ticks every child that has not completed, each tick. SUCCESS once `success_count` children
// succeeded; FAILURE once `failure_count` failed or success can no longer be reached. -1 means
// all children. Defaults: success_count -1, failure_count 1.
class ParallelNode : public ControlNode {
 public:
  using ControlNode::ControlNode;
  // Throws PortError naming the node when a literal threshold does not fit the children count.
  void validate() override;

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { clearRun(); }

 private:
  // The threshold a port gives; PortError when it does not fit the children count.
  std::size_t threshold(std::string_view port, std::int64_t fallback) const;
  // Halts the children and forgets the run: the node completes with `result`.
  core::NodeStatus finish(core::NodeStatus result);
  void clearRun();
  std::vector<bool> completed_;  // per child, during a run
  std::size_t completed_count_ = 0;
  std::size_t successes_ = 0;
  std::size_t failures_ = 0;
};

// Two or three children: if the first succeeds, the second runs; if it fails, the third runs
// (FAILURE without a third). The condition is not re-checked while a branch is RUNNING.
class IfThenElseNode : public ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { branch_ = 0; }

 private:
  // Halts the children and forgets the branch: the node completes with `result`.
  core::NodeStatus finish(core::NodeStatus result);
  std::size_t branch_ = 0;
};

// Two or three children: the condition is ticked every tick; SUCCESS runs the second child,
// FAILURE the third (FAILURE without a third). Switching branch halts the other one.
class WhileDoElseNode : public ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  core::NodeStatus onTick() override;
};

}  // namespace kelmora::nodes
