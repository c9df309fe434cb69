#include "mailbox.hpp"

#include <utility>

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

bool Mailbox::spin_until(const std::atomic<bool>& flag, std::chrono::nanoseconds limit) noexcept {
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

void Mailbox::worker_spin() noexcept {
  if (job_ready_.load(std::memory_order_acquire)) return;
  if (spin_time_ <= std::chrono::nanoseconds::zero()) return;
  if (worker_budget_ == std::chrono::nanoseconds::zero()) {
    if (skipped_++ % kProbeEvery != 0) return;
    worker_budget_ = spin_time_;
  }
  const bool seen = spin_until(job_ready_, worker_budget_);
  const auto halved = worker_budget_ / 2;
  worker_budget_ =
      seen ? spin_time_ : (halved < spin_time_ / 16 ? std::chrono::nanoseconds::zero() : halved);
}

void Mailbox::release_turn(std::unique_lock<std::mutex>& lock) {
  busy_ = false;
  // Once the mailbox is closed or its worker gone, every waiter may leave (and stop() waits for
  // this very moment); otherwise the turn passes to one caller.
  const bool everyone = closed_ || worker_ != Worker::kServing;
  lock.unlock();
  if (everyone) {
    turn_.notify_all();
  } else {
    turn_.notify_one();
  }
}

template <class Ready>
bool Mailbox::wait_polling(std::unique_lock<std::mutex>& lock, std::condition_variable& cond,
                           Ready ready, CallerPoll* poll, bool& interrupted) {
  if (poll == nullptr || interrupted) {
    cond.wait(lock, ready);
    return true;
  }
  while (!cond.wait_for(lock, poll->every, ready)) {
    lock.unlock();
    const bool said = poll->interrupted();  // may take other locks (the GIL): none of ours held
    lock.lock();
    if (said) {
      interrupted = true;
      return ready();
    }
  }
  return true;
}

Mailbox::Reply Mailbox::call(JobRef job, CallerPoll* poll) {
  bool interrupted = false;
  std::unique_lock lock(mutex_);
  if (!wait_polling(lock, turn_, [&] { return !busy_ || closed_; }, poll, interrupted)) {
    return {Outcome::kInterrupted, nullptr};
  }
  if (closed_) return {Outcome::kClosed, nullptr};
  if (worker_ != Worker::kServing) {
    if (failure_) return {Outcome::kWorkerFailed, std::exchange(failure_, nullptr)};
    return {Outcome::kWorkerEnded, nullptr};
  }

  busy_ = true;
  job_ = job;
  has_job_ = true;
  job_ready_.store(true, std::memory_order_release);
  const bool worker_sleeping = worker_sleeping_;
  lock.unlock();
  if (worker_sleeping) {
    wake_.notify_one();
  } else {
    // The worker is awake, so it is likely to deliver within the spin; waking a sleeping worker
    // takes longer than a spin may last, so then the caller goes to sleep at once.
    spin_until(delivered_, spin_time_);
  }

  lock.lock();
  const auto replied = [&] {
    return delivered_.load(std::memory_order_relaxed) || worker_ != Worker::kServing || cancelled_;
  };
  if (!wait_polling(lock, reply_, replied, poll, interrupted)) {
    // The job runs: it cannot be taken back, but its tick loop ends once asked to.
    lock.unlock();
    poll->cancel.request_stop();
    lock.lock();
    reply_.wait(lock, replied);
  }
  Reply reply;
  reply.interrupted = interrupted;
  if (delivered_.load(std::memory_order_relaxed)) {
    reply.outcome = Outcome::kDone;
    reply.error = std::exchange(error_, nullptr);
    delivered_.store(false, std::memory_order_relaxed);
  } else {
    // Nobody will run the job: the worker failed (or never came) before it took it.
    has_job_ = false;
    job_ready_.store(stop_, std::memory_order_relaxed);
    if (cancelled_) {
      reply.outcome = Outcome::kClosed;
    } else if (failure_) {
      reply.outcome = Outcome::kWorkerFailed;
      reply.error = std::exchange(failure_, nullptr);
    } else {
      reply.outcome = Outcome::kWorkerEnded;
    }
  }
  release_turn(lock);
  return reply;
}

void Mailbox::stop() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  turn_.notify_all();  // callers waiting for a turn leave with kClosed
  turn_.wait(lock, [&] { return !busy_; });
  stop_ = true;
  job_ready_.store(true, std::memory_order_release);
  const bool worker_sleeping = worker_sleeping_;
  lock.unlock();
  // A worker that is not asleep checks stop_ before it sleeps.
  if (worker_sleeping) wake_.notify_one();
}

void Mailbox::abandon() noexcept {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    stop_ = true;
    job_ready_.store(true, std::memory_order_release);
  }
  turn_.notify_all();
  wake_.notify_all();
}

void Mailbox::cancel() noexcept {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    cancelled_ = true;
  }
  turn_.notify_all();
  reply_.notify_all();
}

void Mailbox::serve(SequentialEngine& engine) {
  for (;;) {
    // Right after a delivery the next job often follows at once: spin for it before sleeping.
    worker_spin();
    JobRef job;
    {
      std::unique_lock lock(mutex_);
      while (!has_job_ && !stop_) {
        worker_sleeping_ = true;
        wake_.wait(lock);
      }
      worker_sleeping_ = false;
      if (!has_job_) {
        worker_ = Worker::kEnded;  // closed: nobody waits for this worker any more
        return;
      }
      job = job_;
      has_job_ = false;
      job_ready_.store(stop_, std::memory_order_relaxed);
    }
    // Run without the lock: the caller waits for this reply alone, and the job may call other
    // trees (or log, or stop this tree's engine from inside).
    std::exception_ptr error;
    try {
      job(engine);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      error_ = std::move(error);
      delivered_.store(true, std::memory_order_release);
    }
    reply_.notify_one();
  }
}

void Mailbox::fail(std::exception_ptr failure) noexcept {
  {
    std::lock_guard lock(mutex_);
    worker_ = Worker::kFailed;
    failure_ = std::move(failure);
  }
  // The caller in progress takes the failure; queued callers follow once it gives up its turn.
  reply_.notify_all();
  turn_.notify_all();
}

}  // namespace kelmora::engine::trigger::details
