#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <utility>

namespace kelmora::nodes {

using core::NodeStatus;

namespace {

// Halts `run` (when there is one) and destroys it, even when its halt throws.
void end_run(std::unique_ptr<ActionRun> run, core::TreeNode& node) {
  if (run) run->halt(node);
}

}  // namespace

SimpleActionNode::SimpleActionNode(core::NodeConfig config, core::TickFunctor tick)
    : core::TreeNode(std::move(config)), tick_functor_(std::move(tick)) {}

SimpleActionNode::SimpleActionNode(core::NodeConfig config) : core::TreeNode(std::move(config)) {}

SimpleActionNode::~SimpleActionNode() = default;

void SimpleActionNode::continueWith(std::unique_ptr<ActionRun> run) {
  // A second hand-over in one tick replaces the first, which is halted.
  end_run(std::exchange(starting_, std::move(run)), *this);
}

NodeStatus SimpleActionNode::onTick() {
  if (run_) {
    const NodeStatus result = run_->resume(*this);
    // IDLE is an error the core reports; the run stays until the halt that follows.
    if (result != NodeStatus::RUNNING && result != NodeStatus::IDLE) run_.reset();
    return result;
  }
  if (!tick_functor_) throw core::NodeTickError(describe() + ": has no tick function");
  NodeStatus result;
  try {
    result = tick_functor_(*this);
  } catch (...) {
    // A run handed over before the throw is kept: the halt that follows the failed tick ends it.
    run_ = std::move(starting_);
    throw;
  }
  if (result == NodeStatus::RUNNING) {
    run_ = std::move(starting_);
  } else {
    end_run(std::move(starting_), *this);
  }
  return result;
}

void SimpleActionNode::onHalt() { end_run(std::move(run_), *this); }

void continue_with(core::TreeNode& node, std::unique_ptr<ActionRun> run) {
  auto* action = dynamic_cast<SimpleActionNode*>(&node);
  if (action == nullptr) {
    throw core::NodeTickError(node.describe() +
                              ": only an action node can continue a run across ticks");
  }
  action->continueWith(std::move(run));
}

NodeStatus StatefulActionNode::onTick() {
  if (!running_) {
    const NodeStatus result = onStart();
    running_ = result == NodeStatus::RUNNING;
    return result;
  }
  // A throw keeps the run: the halt that follows a failed tick reaches onHalted().
  const NodeStatus result = onRunning();
  // IDLE (an error the core reports) keeps it too.
  running_ = result == NodeStatus::RUNNING || result == NodeStatus::IDLE;
  return result;
}

void StatefulActionNode::onHalt() {
  if (!running_) return;
  running_ = false;  // exactly once, even when onHalted() throws
  onHalted();
}

}  // namespace kelmora::nodes
