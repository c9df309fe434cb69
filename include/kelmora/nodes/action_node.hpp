#pragma once
// The action leaves a user writes:
//
// - SimpleActionNode: a leaf whose tick finishes within one tick (it may return RUNNING to be
//   ticked again). Either a tick function (register_action_behavior; a class derived from it
//   with a static `tick(TreeNode&)` for register_action_class), or a class derived from it that
//   overrides onTick(), registered with register_node_class<T>(). A tick function may also start
//   a run that lasts across ticks (an ActionRun: a Python generator, a C++ coroutine, see
//   coroutine_action.hpp): the node holds the run from the tick that started it until the run
//   completes or the node is halted, and resumes it on each later tick instead of calling the
//   tick function again.
// - StatefulActionNode: an action that runs across ticks. onStart() on the first tick of a run,
//   onRunning() on later ticks while it is RUNNING, onHalted() exactly once when it is halted
//   while RUNNING. Registered with register_node_class<T>().
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <kelmora/core/tree_node.hpp>
#include <memory>

namespace kelmora::nodes {

// A run of an action that lasts across ticks: made by the tick that starts it, owned by its node
// (see SimpleActionNode::continueWith), resumed on the node's later ticks and ended either by
// completing or by a halt. Destroyed on the node's thread, when the run completes, is halted, or
// the node is destroyed.
// Not thread-safe: used by the thread that ticks the tree.
class ActionRun {
 public:
  virtual ~ActionRun() = default;
  // A later tick of the node: the node's status (RUNNING keeps the run; SUCCESS, FAILURE or
  // SKIPPED end it). An exception fails the tick and keeps the run until the halt that follows.
  virtual core::NodeStatus resume(core::TreeNode& node) = 0;
  // The node was halted while the run was in progress: end the run now (close the generator,
  // destroy the coroutine frame). Called at most once; the run is destroyed right after.
  virtual void halt(core::TreeNode& node) = 0;
};

class SimpleActionNode : public core::TreeNode {
 public:
  // The kind of node classes derived from it (see core::node_class).
  static constexpr core::NodeKind kNodeClassKind = core::NodeKind::ACTION;

  // A node running `tick`.
  SimpleActionNode(core::NodeConfig config, core::TickFunctor tick);
  // A node of a class that overrides onTick().
  explicit SimpleActionNode(core::NodeConfig config);
  ~SimpleActionNode() override;
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

  // Hands the node a run that the tick in progress started: the tick returns RUNNING, and from
  // the next tick on the node resumes the run rather than calling its tick function, until the
  // run completes or the node is halted. A run handed over by a tick that does not return
  // RUNNING is halted at once. Call it only from inside this node's tick.
  void continueWith(std::unique_ptr<ActionRun> run);
  // Whether a run is in progress.
  bool hasRun() const noexcept { return run_ != nullptr; }

 protected:
  // Runs the tick function; a node without one (and without an override) fails its tick.
  core::NodeStatus onTick() override;
  // Halts the run in progress, if any.
  void onHalt() override;

 private:
  core::TickFunctor tick_functor_;
  // Declared after the tick function: a run may refer to what the function holds, so it is
  // destroyed first.
  std::unique_ptr<ActionRun> run_;
  // The run the tick in progress handed over (continueWith), taken once the tick returns.
  std::unique_ptr<ActionRun> starting_;
};

// continueWith() on `node`, which must be a SimpleActionNode (the node a tick function
// receives); NodeTickError naming the node otherwise.
void continue_with(core::TreeNode& node, std::unique_ptr<ActionRun> run);

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
using nodes::ActionRun;
using nodes::SimpleActionNode;
using nodes::StatefulActionNode;
}  // namespace kelmora
