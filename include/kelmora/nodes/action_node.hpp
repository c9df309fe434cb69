#pragma once
// SimpleActionNode: a leaf whose tick is a tick function. Also the base class of action node
// classes: a class derived from it that carries a static `tick(TreeNode&)` and, optionally, a
// static `ports` list can be registered with ThreadEngine::register_action_class.
//
// A tick function may start a run that lasts across ticks (an ActionRun: a Python generator, a
// C++ coroutine, see coroutine_action.hpp): the node holds the run from the tick that started it
// until the run completes or the node is halted, and resumes it on each later tick instead of
// calling the tick function again.
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
  SimpleActionNode(core::NodeConfig config, core::TickFunctor tick);
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

}  // namespace kelmora::nodes

namespace kelmora {
using nodes::ActionRun;
using nodes::SimpleActionNode;
}  // namespace kelmora
