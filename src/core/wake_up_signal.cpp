#include <kelmora/core/wake_up_signal.hpp>
#include <optional>

namespace kelmora::core {

void WakeUpSignal::emit() noexcept {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  changed_.notify_all();
}

WakeUpSignal::Woken WakeUpSignal::wait_until(Clock::time_point deadline,
                                             const std::stop_token& stop,
                                             const std::stop_token& cancel) {
  const auto stopped = [&] { return stop.stop_requested() || cancel.stop_requested(); };
  if (stopped()) return Woken::kStopped;
  // A stop wakes the wait through these callbacks. They take the lock before they notify, so a
  // stop requested between the waiter's check and its sleep is not missed. Made before the lock
  // is taken: a callback of a token stopped meanwhile runs at once, in the constructor.
  struct Poke {
    WakeUpSignal* self;
    void operator()() const noexcept {
      { std::lock_guard lock(self->mutex_); }
      self->changed_.notify_all();
    }
  };
  std::optional<std::stop_callback<Poke>> on_stop;
  std::optional<std::stop_callback<Poke>> on_cancel;
  if (stop.stop_possible()) on_stop.emplace(stop, Poke{this});
  if (cancel.stop_possible()) on_cancel.emplace(cancel, Poke{this});

  std::unique_lock lock(mutex_);
  const bool ready = changed_.wait_until(lock, deadline, [&] { return pending_ || stopped(); });
  if (stopped()) return Woken::kStopped;
  if (!ready) return Woken::kDeadline;
  pending_ = false;
  return Woken::kWakeUp;
}

bool WakeUpSignal::pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

void WakeUpSignal::clear() {
  std::lock_guard lock(mutex_);
  pending_ = false;
}

}  // namespace kelmora::core
