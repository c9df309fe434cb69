#include <fmt/format.h>

#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/parallel_all_node.hpp>

namespace kelmora::nodes {

using core::NodeStatus;

std::size_t ParallelAllNode::maxFailures() const {
  const auto count = static_cast<std::int64_t>(childrenCount());
  const std::int64_t raw = getInputInt("max_failures", 1);
  const std::int64_t value = raw < 0 ? count + raw + 1 : raw;
  if (value < 0 || value > count) {
    throw core::PortError(
        fmt::format("{}: max_failures {} does not fit its {} {} (use 0..{} or -1 "
                    "for all)",
                    describe(), raw, count, count == 1 ? "child" : "children", count),
        this);
  }
  return static_cast<std::size_t>(value);
}

void ParallelAllNode::validate() {
  // A threshold read from an entry is checked when it is read.
  const core::PortBinding* binding = portBinding("max_failures");
  if (binding == nullptr || binding->kind != core::PortBinding::Kind::ENTRY) (void)maxFailures();
}

void ParallelAllNode::clearRun() {
  completed_.assign(childrenCount(), false);
  completed_count_ = 0;
  failures_ = 0;
  skipped_ = 0;
}

NodeStatus ParallelAllNode::onTick() {
  const std::size_t max_failures = maxFailures();
  const std::size_t count = childrenCount();
  if (status() != NodeStatus::RUNNING) clearRun();  // a new run begins
  setStatus(NodeStatus::RUNNING);
  for (std::size_t i = 0; i < count; ++i) {
    if (completed_[i]) continue;
    const NodeStatus result = child(i).executeTick();
    if (result == NodeStatus::RUNNING) continue;
    completed_[i] = true;
    ++completed_count_;
    if (result == NodeStatus::FAILURE) ++failures_;
    if (result == NodeStatus::SKIPPED) ++skipped_;
  }
  if (completed_count_ < count) return NodeStatus::RUNNING;
  const NodeStatus result = skipped_ == count           ? NodeStatus::SKIPPED
                            : failures_ >= max_failures ? NodeStatus::FAILURE
                                                        : NodeStatus::SUCCESS;
  haltChildren();
  clearRun();
  return result;
}

}  // namespace kelmora::nodes
