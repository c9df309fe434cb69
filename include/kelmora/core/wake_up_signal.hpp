#pragma once
// WakeUpSignal: how a tree is asked to be ticked again soon.
//
// A tick loop that has ticked a RUNNING tree waits before the next tick: until a node (or the
// application) emits a wake-up, a timer of a time-based node is due, the tick period passes, or a
// stop is requested. emit() may be called from any thread (the producer thread of a model
// server's stream, say, as each piece arrives), and it is never lost: one emitted while no loop
// waits, or during a tick, ends the next wait at once.
//
// Thread-safe: every member may be called from any thread. Only one thread waits at a time (the
// thread that ticks the tree).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace kelmora::core {

class WakeUpSignal {
 public:
  using Clock = std::chrono::steady_clock;

  // Why wait_until() returned.
  enum class Woken {
    kWakeUp,    // a wake-up was emitted (and is now consumed)
    kDeadline,  // the deadline passed
    kStopped,   // a stop was requested on one of the tokens
  };

  // Asks for a tick soon: ends the wait in progress, or else the next one, at once. Never
  // blocks on anything but a short internal lock. Thread-safe.
  void emit() noexcept;

  // Waits until a wake-up is pending, `deadline` passes or a stop is requested on `stop` or
  // `cancel` (either may be a token without a stop source), whichever comes first; a pending
  // wake-up is consumed. A stop already requested returns kStopped at once, before a pending
  // wake-up. Holds its lock only while it looks at its state, never while it sleeps, so
  // emit() and the stop never wait for the waiter. Thread-safe; one waiter at a time.
  Woken wait_until(Clock::time_point deadline, const std::stop_token& stop,
                   const std::stop_token& cancel = {});

  // Whether a wake-up is pending (emitted and not yet consumed by a wait). Thread-safe.
  bool pending() const;
  // Drops a pending wake-up. Thread-safe.
  void clear();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false;  // guarded by mutex_
};

}  // namespace kelmora::core
