#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/decorators.hpp>
#include <utility>

namespace kelmora::nodes {

using core::NodeStatus;
using Clock = core::TreeTimers::Clock;

NodeStatus InverterNode::onTick() {
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (!core::is_completed(result)) return result;
  haltChild();
  return result == NodeStatus::SUCCESS ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
}

ForceNode::ForceNode(core::NodeConfig config, NodeStatus result)
    : DecoratorNode(std::move(config)), result_(result) {}

NodeStatus ForceNode::onTick() {
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (!core::is_completed(result)) return result;
  haltChild();
  return result_;
}

RepeatNode::RepeatNode(core::NodeConfig config, Flavor flavor)
    : DecoratorNode(std::move(config)), flavor_(flavor) {}

NodeStatus RepeatNode::onTick() {
  const bool retry = flavor_ == Flavor::kRetry;
  const std::int64_t limit = getInputInt(retry ? "num_attempts" : "num_cycles", 1);
  // The child result that makes this node run the child again.
  const NodeStatus again = retry ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
  setStatus(NodeStatus::RUNNING);
  for (bool first = true; limit < 0 || count_ < limit; first = false) {
    // Every cycle may run inside this one tick: a stop requested meanwhile ends the tick between
    // two cycles, so a huge count cannot hold a stop (or the tree's destruction) for hours.
    if (!first && timers() != nullptr && timers()->stop_requested()) {
      throw core::TreeStoppedError("tree was stopped while ticking");
    }
    const NodeStatus result = child().executeTick();
    if (result == NodeStatus::RUNNING) return result;
    haltChild();
    if (result != again) {  // Repeat: FAILURE, Retry: SUCCESS, or SKIPPED ends the loop
      count_ = 0;
      return result;
    }
    if (limit < 0) {
      // Forever: one cycle per tick, so ticks end; the next cycle is due at once.
      emitWakeUpSignal();
      return NodeStatus::RUNNING;
    }
    ++count_;
  }
  count_ = 0;
  return again;
}

NodeStatus KeepRunningUntilFailureNode::onTick() {
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (result == NodeStatus::SUCCESS) {
    haltChild();
    emitWakeUpSignal();  // the next run of the child is due at once
    return NodeStatus::RUNNING;
  }
  if (result == NodeStatus::FAILURE) haltChild();
  return result;
}

NodeStatus RunOnceNode::onTick() {
  if (result_) return getInputBool("then_skip", true) ? NodeStatus::SKIPPED : *result_;
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (core::is_completed(result)) {
    result_ = result;
    haltChild();
  }
  return result;
}

void RunOnceNode::onReset() { result_.reset(); }

Clock::time_point DeadlineDecorator::deadline(const char* duration_port, Clock::time_point now) {
  if (!deadline_) deadline_ = core::TreeTimers::deadline_after(now, getInputInt(duration_port, 0));
  return *deadline_;
}

NodeStatus DeadlineDecorator::finish(NodeStatus result) {
  haltChild();
  deadline_.reset();
  return result;
}

NodeStatus DelayNode::onTick() {
  const auto now = Clock::now();
  const auto due = deadline("delay_msec", now);
  setStatus(NodeStatus::RUNNING);
  if (now < due) {
    if (timers() != nullptr) timers()->request_wakeup(due);
    return NodeStatus::RUNNING;
  }
  const NodeStatus result = child().executeTick();
  return result == NodeStatus::RUNNING ? result : finish(result);
}

NodeStatus TimeoutNode::onTick() {
  const auto now = Clock::now();
  const auto due = deadline("msec", now);
  setStatus(NodeStatus::RUNNING);
  if (now >= due) return finish(NodeStatus::FAILURE);
  const NodeStatus result = child().executeTick();
  if (result == NodeStatus::RUNNING) {
    if (timers() != nullptr) timers()->request_wakeup(due);
    return result;
  }
  return finish(result);
}

}  // namespace kelmora::nodes
