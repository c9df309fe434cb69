#pragma once
// The action leaves a user writes:
//
// - SimpleActionNode: a leaf whose tick finishes within one tick (it may return RUNNING to be
//   ticked again). Either a tick function (register_action_behavior; a class derived from it
//   with a static `tick(TreeNode&)` for register_action_class), or a class derived from it that
//   overrides onTick(), registered with register_node_class<T>().
// - StatefulActionNode: an action that runs across ticks. onStart() on the first tick of a run,
//   onRunning() on later ticks while it is RUNNING, onHalted() exactly once when it is halted
//   while RUNNING. Registered with register_node_class<T>().
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <kelmora/core/tree_node.hpp>

namespace kelmora::nodes {

class SimpleActionNode : public core::TreeNode {
 public:
  // The kind of node classes derived from it (see core::node_class).
  static constexpr core::NodeKind kNodeClassKind = core::NodeKind::ACTION;

  // A node running `tick`.
  SimpleActionNode(core::NodeConfig config, core::TickFunctor tick);
  // A node of a class that overrides onTick().
  explicit SimpleActionNode(core::NodeConfig config);
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  // Runs the tick function; a node without one (and without an override) fails its tick.
  core::NodeStatus onTick() override;

 private:
  core::TickFunctor tick_functor_;
};

// An action that runs across ticks:
//
//   class MoveBase : public kelmora::nodes::StatefulActionNode {
//    public:
//     using StatefulActionNode::StatefulActionNode;
//     static inline const kelmora::core::PortsList ports = {
//         kelmora::core::make_port("goal", "string", "input")};
//    protected:
//     kelmora::core::NodeStatus onStart() override { /* send the goal */ return RUNNING; }
//     kelmora::core::NodeStatus onRunning() override { /* arrived? SUCCESS : RUNNING */ }
//     void onHalted() override { /* cancel the goal */ }
//   };
//
// - Ticked while not RUNNING (IDLE, or completed): onStart() runs; SUCCESS or FAILURE ends the
//   run at once, RUNNING starts it.
// - Ticked while RUNNING: onRunning() runs and returns the new status.
// - Halted while RUNNING (by its parent, reset_tree, a tick that failed elsewhere in the tree, the
//   tree's destruction or replacement): onHalted() runs, exactly once; the node becomes IDLE. A
//   halt in any other state calls nothing. onHalted() also runs when onRunning() threw (the run
//   it belongs to was started); not when onStart() threw (no run was started).
// None may return IDLE. All three run on the thread that ticks the tree.
class StatefulActionNode : public core::TreeNode {
 public:
  static constexpr core::NodeKind kNodeClassKind = core::NodeKind::ACTION;

  using core::TreeNode::TreeNode;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  virtual core::NodeStatus onStart() = 0;
  virtual core::NodeStatus onRunning() = 0;
  virtual void onHalted() = 0;

  core::NodeStatus onTick() final;
  void onHalt() final;

 private:
  // Whether a run is in progress: onStart() or onRunning() returned RUNNING, or onRunning()
  // threw. Cleared when the run ends or is halted.
  bool running_ = false;
};

}  // namespace kelmora::nodes

namespace kelmora {
using nodes::SimpleActionNode;
using nodes::StatefulActionNode;
}  // namespace kelmora
