#pragma once
// Status changes of a tree's nodes: the per-node counters every node keeps, and the tree's log of
// transitions that observers switch on.
//
// A node reports each change of its status (TreeNode::setStatus) to its tree's TransitionLog.
// While nobody records, that costs a comparison and two stores: no clock read, no lock, no
// allocation. While recording, each change is appended, timestamped, to the log's pending list,
// which the engine hands to observers after the tick step and clears.
//
// Not thread-safe: a tree, its nodes and its log belong to the thread that ticks the tree.

#include <chrono>
#include <cstdint>
#include <kelmora/core/node_status.hpp>
#include <vector>

namespace kelmora::core {

// One change of one node's status. `node` is the node's id within its tree (TreeNode::uid(): its
// index in depth-first order from the root, 0 for the root).
struct Transition {
  std::uint32_t node = 0;
  NodeStatus previous = NodeStatus::IDLE;
  NodeStatus status = NodeStatus::IDLE;
  std::chrono::steady_clock::time_point time;
  // The node's change before this one (so time - since is the time spent in `previous`); the
  // zero time when this is the node's first change since the tree was built or reset.
  std::chrono::steady_clock::time_point since{};
};

// What one node has done since its tree was built or reset.
struct NodeCounters {
  std::int64_t ticks = 0;      // ticks of the node (also those that threw)
  std::int64_t successes = 0;  // ticks that returned SUCCESS
  std::int64_t failures = 0;   // ticks that returned FAILURE
  std::int64_t skips = 0;      // ticks that returned SKIPPED
  std::int64_t halts = 0;      // halts that found the node RUNNING
  // The last change of the node's status; the epoch (zero) when it never changed. While the tree
  // is not recorded, this is the start of the tick step (or halt) that made the change.
  std::chrono::steady_clock::time_point last_change{};
};

// `time` (a steady-clock time) on the wall clock, in microseconds since the Unix epoch; 0 for the
// zero time (a node that never changed). Thread-safe.
std::int64_t wall_clock_us(std::chrono::steady_clock::time_point time) noexcept;

class TransitionLog {
 public:
  using Clock = std::chrono::steady_clock;

  // Whether changes are being recorded.
  bool recording() const noexcept { return recording_; }
  // Starts or stops recording; stopping drops what is pending.
  void set_recording(bool on) {
    recording_ = on;
    if (!on) pending_.clear();
  }

  // The start of the current tick step or halt: set by the tree before it ticks or halts.
  Clock::time_point step_time() const noexcept { return step_time_; }
  void set_step_time(Clock::time_point time) noexcept { step_time_ = time; }

  // Appends a change (only called while recording); returns the time it was given.
  Clock::time_point record(std::uint32_t node, NodeStatus previous, NodeStatus status,
                           Clock::time_point since);

  // The changes recorded since the last clear(), in order.
  const std::vector<Transition>& pending() const noexcept { return pending_; }
  void clear() noexcept { pending_.clear(); }

 private:
  bool recording_ = false;
  Clock::time_point step_time_{};
  std::vector<Transition> pending_;
};

}  // namespace kelmora::core
