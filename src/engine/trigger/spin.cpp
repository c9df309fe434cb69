#include "spin.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kelmora::engine::trigger::details {
namespace {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

bool spin_until_set(const std::atomic<bool>& flag, std::chrono::nanoseconds limit) noexcept {
  if (flag.load(std::memory_order_acquire)) return true;
  if (limit <= std::chrono::nanoseconds::zero()) return false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      cpu_relax();
      if (flag.load(std::memory_order_acquire)) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

bool AdaptiveSpin::wait(const std::atomic<bool>& flag) noexcept {
  if (flag.load(std::memory_order_acquire)) return true;
  if (max_ <= 0) return false;
  std::int64_t budget = budget_.load(std::memory_order_relaxed);
  if (budget == 0) {
    if (skipped_.fetch_add(1, std::memory_order_relaxed) % kProbeEvery != 0) return false;
    budget = max_;
  }
  const bool seen = spin_until_set(flag, std::chrono::nanoseconds(budget));
  // Relaxed: the budget is a hint; racing updates from two callers only blur it.
  budget_.store(seen ? max_ : (budget / 2 < max_ / 16 ? 0 : budget / 2), std::memory_order_relaxed);
  return seen;
}

}  // namespace kelmora::engine::trigger::details
