#pragma once
// Bounded spinning before sleeping, for the two sides of a tree's command channel.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kelmora::engine::trigger::details {

// Spins for at most `limit` until `flag` reads true; true when it did. Thread-safe.
bool spin_until_set(const std::atomic<bool>& flag, std::chrono::nanoseconds limit) noexcept;

// How long a waiter spins before it sleeps, adapted to how its spins turn out: a spin that runs
// out (nothing came in time: a quiet caller, or a busy machine where the other side was not
// running) halves the budget, one that succeeds restores it; once the budget has dropped to
// nothing, a full spin is tried again only every kProbeEvery waits. Never more than `max`.
// Thread-safe.
class AdaptiveSpin {
 public:
  explicit AdaptiveSpin(std::chrono::nanoseconds max) noexcept : max_(max.count()), budget_(max_) {}

  // Spins until `flag` is set or the budget is used up; true when the flag was seen set.
  bool wait(const std::atomic<bool>& flag) noexcept;

 private:
  static constexpr std::uint32_t kProbeEvery = 64;

  const std::int64_t max_;
  std::atomic<std::int64_t> budget_;
  std::atomic<std::uint32_t> skipped_{0};
};

}  // namespace kelmora::engine::trigger::details
