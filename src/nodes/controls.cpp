#include <fmt/format.h>

#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/controls.hpp>
#include <utility>

namespace kelmora::nodes {

using core::NodeStatus;

namespace {

// The status a control of this flavor stops at, and the one it gives when every child passed.
constexpr NodeStatus stop_status(bool fallback) {
  return fallback ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
}
constexpr NodeStatus done_status(bool fallback) {
  return fallback ? NodeStatus::FAILURE : NodeStatus::SUCCESS;
}

}  // namespace

// --- Sequence, SequenceWithMemory, Fallback --------------------------------------------------

SequenceNode::SequenceNode(core::NodeConfig config, Flavor flavor)
    : ControlNode(std::move(config)), flavor_(flavor) {}

NodeStatus SequenceNode::onTick() {
  const bool fallback = flavor_ == Flavor::kFallback;
  // A new run begins (after a failure, SequenceWithMemory resumes past children that passed).
  if (status() != NodeStatus::RUNNING) all_skipped_ = current_ == 0;
  setStatus(NodeStatus::RUNNING);
  const std::size_t count = childrenCount();
  for (; current_ < count; ++current_) {
    const NodeStatus result = child(current_).executeTick();
    if (result == NodeStatus::SUCCESS || result == NodeStatus::FAILURE) {
      all_skipped_ = false;
      if (result != stop_status(fallback)) continue;
      if (flavor_ == Flavor::kSequenceWithMemory) {
        haltChildren(current_);  // the next tick resumes at the failed child
      } else {
        haltChildren();
        current_ = 0;
      }
      return result;
    }
    if (result == NodeStatus::RUNNING) {
      all_skipped_ = false;
      return NodeStatus::RUNNING;
    }
  }
  haltChildren();
  current_ = 0;
  return all_skipped_ ? NodeStatus::SKIPPED : done_status(fallback);
}

void SequenceNode::onHalt() {
  if (flavor_ != Flavor::kSequenceWithMemory) current_ = 0;
}

// --- ReactiveSequence, ReactiveFallback ------------------------------------------------------

ReactiveNode::ReactiveNode(core::NodeConfig config, Flavor flavor)
    : ControlNode(std::move(config)), flavor_(flavor) {}

NodeStatus ReactiveNode::onTick() {
  const bool fallback = flavor_ == Flavor::kFallback;
  setStatus(NodeStatus::RUNNING);
  bool all_skipped = true;
  for (std::size_t i = 0; i < childrenCount(); ++i) {
    const NodeStatus result = child(i).executeTick();
    if (result != NodeStatus::SKIPPED) all_skipped = false;
    if (result == NodeStatus::RUNNING) {
      // Only one child runs at a time: an earlier child that starts running pre-empts a later one.
      for (std::size_t j = 0; j < childrenCount(); ++j) {
        if (j != i) child(j).haltNode();
      }
      return NodeStatus::RUNNING;
    }
    if (result == stop_status(fallback)) {
      haltChildren();
      return result;
    }
  }
  haltChildren();
  return all_skipped ? NodeStatus::SKIPPED : done_status(fallback);
}

// --- Parallel --------------------------------------------------------------------------------

std::size_t ParallelNode::threshold(std::string_view port, std::int64_t fallback) const {
  const auto count = static_cast<std::int64_t>(childrenCount());
  const std::int64_t raw = getInputInt(port, fallback);
  const std::int64_t value = raw < 0 ? count + raw + 1 : raw;
  if (value <= 0 || value > count) {
    throw core::PortError(fmt::format("{}: {} {} does not fit its {} children (use 1..{} or "
                                      "-1 for all)",
                                      describe(), port, raw, count, count),
                          this);
  }
  return static_cast<std::size_t>(value);
}

void ParallelNode::validate() {
  // A threshold read from an entry is checked when it is read.
  for (const auto& [port, fallback] :
       {std::pair<std::string_view, std::int64_t>{"success_count", -1}, {"failure_count", 1}}) {
    const core::PortBinding* binding = portBinding(port);
    if (binding == nullptr || binding->kind != core::PortBinding::Kind::ENTRY) {
      (void)threshold(port, fallback);
    }
  }
}

void ParallelNode::clearRun() {
  completed_.assign(childrenCount(), false);
  completed_count_ = 0;
  successes_ = 0;
  failures_ = 0;
}

NodeStatus ParallelNode::finish(NodeStatus result) {
  haltChildren();
  clearRun();
  return result;
}

NodeStatus ParallelNode::onTick() {
  const std::size_t count = childrenCount();
  const std::size_t need_success = threshold("success_count", -1);
  const std::size_t need_failure = threshold("failure_count", 1);
  if (status() != NodeStatus::RUNNING) {  // a new run begins
    haltChildren();
    clearRun();
  }
  setStatus(NodeStatus::RUNNING);

  std::size_t skipped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (completed_[i]) continue;
    const NodeStatus result = child(i).executeTick();
    if (result == NodeStatus::SUCCESS || result == NodeStatus::FAILURE) {
      completed_[i] = true;
      ++completed_count_;
      ++(result == NodeStatus::SUCCESS ? successes_ : failures_);
    } else if (result == NodeStatus::SKIPPED) {
      ++skipped;
    }
    if (successes_ >= need_success) return finish(NodeStatus::SUCCESS);
    if (failures_ >= need_failure || count - failures_ < need_success) {
      return finish(NodeStatus::FAILURE);
    }
  }
  if (skipped == count) return finish(NodeStatus::SKIPPED);
  if (completed_count_ + skipped == count) {
    // Nothing is running any more: skipped children count as passed.
    return finish(successes_ + skipped >= need_success ? NodeStatus::SUCCESS : NodeStatus::FAILURE);
  }
  return NodeStatus::RUNNING;
}

// --- IfThenElse, WhileDoElse -----------------------------------------------------------------

NodeStatus IfThenElseNode::onTick() {
  setStatus(NodeStatus::RUNNING);
  if (branch_ == 0) {
    const NodeStatus condition = child(0).executeTick();
    if (condition == NodeStatus::RUNNING) return condition;
    if (condition == NodeStatus::SUCCESS) {
      branch_ = 1;
    } else if (condition == NodeStatus::FAILURE && childrenCount() == 3) {
      branch_ = 2;
    } else {  // FAILURE without an else branch, or SKIPPED
      return finish(condition);
    }
  }
  const NodeStatus result = child(branch_).executeTick();
  if (result == NodeStatus::RUNNING) return result;
  return finish(result);
}

NodeStatus IfThenElseNode::finish(NodeStatus result) {
  haltChildren();
  branch_ = 0;
  return result;
}

NodeStatus WhileDoElseNode::onTick() {
  setStatus(NodeStatus::RUNNING);
  const NodeStatus condition = child(0).executeTick();
  if (condition == NodeStatus::RUNNING) return condition;
  NodeStatus result = condition;
  if (condition == NodeStatus::SUCCESS) {
    if (childrenCount() == 3) child(2).haltNode();
    result = child(1).executeTick();
  } else if (condition == NodeStatus::FAILURE && childrenCount() == 3) {
    child(1).haltNode();
    result = child(2).executeTick();
  }
  if (result == NodeStatus::RUNNING) return result;
  haltChildren();
  return result;
}

}  // namespace kelmora::nodes
