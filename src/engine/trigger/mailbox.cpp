#include "mailbox.hpp"

#include <algorithm>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kelmora::engine::trigger::details {
namespace {

using Word = std::atomic<std::uint32_t>;
using std::chrono::nanoseconds;
using Clock = std::chrono::steady_clock;

static_assert(Word::is_always_lock_free && sizeof(Word) == sizeof(std::uint32_t),
              "a mailbox word must be a plain 32-bit word the kernel can wait on");

// The turn.
constexpr std::uint32_t kTaken = 1;        // a caller holds it
constexpr std::uint32_t kQueued = 2;       // someone sleeps until it is free
constexpr std::uint32_t kTurnClosed = 4;   // stop, abandon or cancel: nobody takes it any more
// The worker's word.
constexpr std::uint32_t kJob = 1;          // job_ waits for the worker
constexpr std::uint32_t kStop = 2;         // the worker is to end once it has no job
constexpr std::uint32_t kWorkerAsleep = 4; // the worker sleeps on the word
constexpr std::uint32_t kEnded = 8;        // the worker has left serve(): no job runs any more
constexpr std::uint32_t kRequest = kJob | kStop;
// The caller's word.
constexpr std::uint32_t kDone = 1;         // the reply waits in error_ for the caller
constexpr std::uint32_t kCallerAsleep = 2; // the caller sleeps on the word
constexpr std::uint32_t kGone = 4;         // the worker failed or will never come (for good)
constexpr std::uint32_t kReply = kDone | kGone;

// What a hand-over to an awake worker takes at most, across cores, on top of the job itself.
constexpr nanoseconds kHandOff = std::chrono::microseconds(2);

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Sleeps while `word` holds `value` (or until woken; may return spuriously).
void sleep_while(Word& word, std::uint32_t value) noexcept {
#if defined(__linux__)
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr,
            nullptr, 0);
#else
  word.wait(value, std::memory_order_relaxed);
#endif
}

// Sleeps while `word` holds `value`, for at most `timeout` (or until woken; may return early).
void sleep_while_for(Word& word, std::uint32_t value, nanoseconds timeout) noexcept {
  if (timeout <= nanoseconds::zero()) return;
#if defined(__linux__)
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec relative{};
  relative.tv_sec = static_cast<time_t>(seconds.count());
  relative.tv_nsec = static_cast<long>((timeout - seconds).count());
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value,
            &relative, nullptr, 0);
#else
  // No timed wait on the word: look at it again every millisecond.
  if (word.load(std::memory_order_relaxed) == value) {
    std::this_thread::sleep_for(std::min<nanoseconds>(timeout, std::chrono::milliseconds(1)));
  }
#endif
}

void wake_one(Word& word) noexcept {
#if defined(__linux__)
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
#else
  word.notify_one();
#endif
}

void wake_all(Word& word) noexcept {
#if defined(__linux__)
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX,
            nullptr, nullptr, 0);
#else
  word.notify_all();
#endif
}

// Spins until `word` has a bit of `mask` or `limit` has passed; returns the word last read.
std::uint32_t spin_on(const Word& word, std::uint32_t mask, nanoseconds limit) noexcept {
  std::uint32_t value = word.load(std::memory_order_acquire);
  if ((value & mask) != 0 || limit <= nanoseconds::zero()) return value;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    for (int i = 0; i < 16; ++i) {
      cpu_relax();
      value = word.load(std::memory_order_acquire);
      if ((value & mask) != 0) return value;
    }
    if (Clock::now() >= deadline) return value;
  }
}

// Sleeps until `word` has a bit of `mask`, first setting `asleep` in it so that whoever sets
// `mask` knows to wake this thread; returns the word (with `asleep` possibly still set). With a
// `deadline`, returns (without a bit of `mask`) once it has passed; `asleep` may stay set then,
// which costs the other side at most a wake-up in vain.
std::uint32_t sleep_on(Word& word, std::uint32_t mask, std::uint32_t asleep,
                       const Clock::time_point* deadline = nullptr) noexcept {
  std::uint32_t value = word.load(std::memory_order_acquire);
  for (;;) {
    if ((value & mask) != 0) return value;
    if ((value & asleep) == 0) {
      if (!word.compare_exchange_weak(value, value | asleep, std::memory_order_acquire)) continue;
      value |= asleep;
    }
    if (deadline == nullptr) {
      sleep_while(word, value);
    } else {
      const auto now = Clock::now();
      if (now >= *deadline) return value;
      sleep_while_for(word, value, *deadline - now);
    }
    value = word.load(std::memory_order_acquire);
  }
}

// Asks `poll` whether its caller was interrupted, once its next look is due (then the one after
// is due `every` later). False without a poll.
bool poll_says(Mailbox::CallerPoll* poll, Clock::time_point& next) {
  if (poll == nullptr || !poll->interrupted) return false;
  const auto now = Clock::now();
  if (now < next) return false;
  next = now + poll->every;
  return poll->interrupted();
}

}  // namespace

Mailbox::Mailbox(nanoseconds spin_limit) noexcept
    : spin_limit_(std::max(spin_limit, nanoseconds::zero())), worker_budget_(spin_limit_) {}

bool Mailbox::worker_asleep() const noexcept {
  const std::uint32_t value = to_worker_.load(std::memory_order_acquire);
  return (value & kWorkerAsleep) != 0 && (value & (kRequest | kEnded)) == 0;
}

// --- the turn -------------------------------------------------------------------------------

Mailbox::Turn Mailbox::take_turn(CallerPoll* poll) {
  std::uint32_t value = turn_.load(std::memory_order_relaxed);
  // A caller that has slept takes the turn marked kQueued: others may still sleep, and its
  // release wakes the next one (at worst in vain).
  std::uint32_t mark = kTaken;
  const bool polled = poll != nullptr && poll->interrupted;
  Clock::time_point next_poll = polled ? Clock::now() + poll->every : Clock::time_point{};
  for (;;) {
    if ((value & kTurnClosed) != 0) return Turn::kClosed;
    if ((value & kTaken) == 0) {
      if (turn_.compare_exchange_weak(value, value | mark, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return Turn::kTaken;
      }
      continue;
    }
    if ((value & kQueued) == 0) {
      if (!turn_.compare_exchange_weak(value, value | kQueued, std::memory_order_relaxed)) {
        continue;
      }
      value |= kQueued;
    }
    if (!polled) {
      sleep_while(turn_, value);
    } else {
      sleep_while_for(turn_, value, std::max(next_poll - Clock::now(), Clock::duration::zero()));
      if (poll_says(poll, next_poll)) {
        // Leaving the queue: a release's wake-up this thread may have taken goes to the next
        // sleeper instead.
        wake_one(turn_);
        return Turn::kInterrupted;
      }
    }
    mark = kTaken | kQueued;
    value = turn_.load(std::memory_order_relaxed);
  }
}

void Mailbox::release_turn() noexcept {
  const std::uint32_t old = turn_.fetch_and(~(kTaken | kQueued), std::memory_order_release);
  if ((old & kQueued) == 0) return;
  // Once closed, every sleeper leaves (and stop() waits for this very moment).
  if ((old & kTurnClosed) != 0) {
    wake_all(turn_);
  } else {
    wake_one(turn_);
  }
}

void Mailbox::close_turn() noexcept {
  turn_.fetch_or(kTurnClosed, std::memory_order_acq_rel);
  // Every sleeper, whatever it waits for: one woken by a release just before may not have taken
  // the turn yet, and the ones behind it would not be woken by anybody else.
  wake_all(turn_);
}

// --- callers --------------------------------------------------------------------------------

nanoseconds Mailbox::caller_spin() const noexcept {
  if (spin_limit_ <= nanoseconds::zero()) return nanoseconds::zero();
  const nanoseconds expected = 2 * nanoseconds(job_ns_.load(std::memory_order_relaxed)) + kHandOff;
  // A job expected to outlast the limit would only be spun for in vain.
  return expected <= spin_limit_ ? expected : nanoseconds::zero();
}

std::uint32_t Mailbox::wait_for_reply(nanoseconds spin, CallerPoll* poll, bool& interrupted) {
  std::uint32_t value = spin_on(to_caller_, kReply, spin);
  if ((value & kReply) != 0) return value;
  if (poll != nullptr && poll->interrupted) {
    // In slices, looking at the poll between them, until it says so or the reply comes.
    Clock::time_point next_poll = Clock::now() + poll->every;
    for (;;) {
      value = sleep_on(to_caller_, kReply, kCallerAsleep, &next_poll);
      if ((value & kReply) != 0) return value;
      if (poll_says(poll, next_poll)) break;
    }
    // The job runs: it cannot be taken back, but its tick loops end once asked to.
    interrupted = true;
    poll->cancel.request_stop();
  }
  return sleep_on(to_caller_, kReply, kCallerAsleep);
}

Mailbox::Reply Mailbox::gone_reply() {
  std::lock_guard lock(mutex_);
  if (cancelled_) return {Outcome::kClosed, nullptr};
  if (failure_) return {Outcome::kWorkerFailed, std::exchange(failure_, nullptr)};
  return {Outcome::kWorkerEnded, nullptr};
}

Mailbox::Reply Mailbox::call(JobRef job, CallerPoll* poll) {
  switch (take_turn(poll)) {
    case Turn::kTaken:
      break;
    case Turn::kClosed:
      return {Outcome::kClosed, nullptr};
    case Turn::kInterrupted:
      return {Outcome::kInterrupted, nullptr};
  }
  Reply reply;
  if ((to_caller_.load(std::memory_order_acquire) & kGone) != 0) {
    reply = gone_reply();
    release_turn();
    return reply;
  }

  job_ = job;
  const std::uint32_t old = to_worker_.fetch_or(kJob, std::memory_order_acq_rel);
  if ((old & kEnded) != 0) {
    // Abandoned between our turn and the hand-over: the worker has left and will not run it.
    release_turn();
    return {Outcome::kClosed, nullptr};
  }
  nanoseconds spin = nanoseconds::zero();
  if ((old & kWorkerAsleep) != 0) {
    // Waking a sleeping worker takes longer than a spin may last: the caller sleeps at once.
    wake_one(to_worker_);
  } else {
    spin = caller_spin();
  }

  bool interrupted = false;
  const std::uint32_t value = wait_for_reply(spin, poll, interrupted);
  if ((value & kDone) != 0) {
    reply = {Outcome::kDone, std::exchange(error_, nullptr), interrupted};
    to_caller_.fetch_and(~(kDone | kCallerAsleep), std::memory_order_relaxed);
  } else {
    reply = gone_reply();  // nobody will run the job: the worker failed, or never came
  }
  release_turn();
  return reply;
}

// --- ending ---------------------------------------------------------------------------------

void Mailbox::stop() {
  close_turn();  // callers waiting for a turn leave with kClosed
  // Wait for the caller in progress, if any, to have its reply.
  std::uint32_t value = turn_.load(std::memory_order_acquire);
  while ((value & kTaken) != 0) {
    if ((value & kQueued) == 0) {
      if (!turn_.compare_exchange_weak(value, value | kQueued, std::memory_order_acquire)) {
        continue;
      }
      value |= kQueued;
    }
    sleep_while(turn_, value);
    value = turn_.load(std::memory_order_acquire);
  }
  const std::uint32_t old = to_worker_.fetch_or(kStop, std::memory_order_acq_rel);
  // A worker that is not asleep sees kStop before it sleeps.
  if ((old & kWorkerAsleep) != 0) wake_one(to_worker_);
}

void Mailbox::abandon() noexcept {
  close_turn();
  const std::uint32_t old = to_worker_.fetch_or(kStop, std::memory_order_acq_rel);
  if ((old & kWorkerAsleep) != 0) wake_one(to_worker_);
}

void Mailbox::mark_gone() noexcept {
  const std::uint32_t old = to_caller_.fetch_or(kGone, std::memory_order_acq_rel);
  if ((old & kCallerAsleep) != 0) wake_all(to_caller_);
}

void Mailbox::cancel() noexcept {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  close_turn();
  mark_gone();
}

// --- the worker -----------------------------------------------------------------------------

std::uint32_t Mailbox::wait_for_request() noexcept {
  std::uint32_t value = to_worker_.load(std::memory_order_acquire);
  if ((value & kRequest) != 0) return value;
  if (spin_limit_ > nanoseconds::zero()) {
    if (worker_budget_ == nanoseconds::zero() && skipped_++ % kProbeEvery == 0) {
      worker_budget_ = spin_limit_;  // a probe: maybe the tree is busy again
    }
    if (worker_budget_ > nanoseconds::zero()) {
      value = spin_on(to_worker_, kRequest, worker_budget_);
      const bool seen = (value & kRequest) != 0;
      const nanoseconds halved = worker_budget_ / 2;
      worker_budget_ = seen ? spin_limit_
                            : (halved < spin_limit_ / 16 ? nanoseconds::zero() : halved);
      if (seen) return value;
    }
  }
  return sleep_on(to_worker_, kRequest, kWorkerAsleep);
}

void Mailbox::serve(SequentialEngine& engine) {
  // The longest job time that counts in the running average, so that one long job does not
  // keep callers from spinning for long.
  const std::int64_t sample_cap = 2 * std::max(spin_limit_, kHandOff).count();
  for (;;) {
    std::uint32_t value = wait_for_request();
    if ((value & kJob) == 0) {
      // Told to end, with no job: leave, unless a job is being handed over this very moment.
      if (to_worker_.compare_exchange_strong(value, value | kEnded, std::memory_order_acq_rel)) {
        return;
      }
      continue;
    }
    to_worker_.fetch_and(~(kJob | kWorkerAsleep), std::memory_order_acquire);
    const JobRef job = job_;

    // Run with nothing held: the caller waits for this reply alone, and the job may call other
    // trees (or log, or stop this tree's engine from inside).
    const auto start = Clock::now();
    std::exception_ptr error;
    try {
      job(engine);
    } catch (...) {
      error = std::current_exception();
    }
    const std::int64_t took = std::min<std::int64_t>(
        std::chrono::duration_cast<nanoseconds>(Clock::now() - start).count(), sample_cap);
    const std::int64_t average = job_ns_.load(std::memory_order_relaxed);
    job_ns_.store(average + (took - average) / 4, std::memory_order_relaxed);

    error_ = std::move(error);
    const std::uint32_t old = to_caller_.fetch_or(kDone, std::memory_order_acq_rel);
    if ((old & kCallerAsleep) != 0) wake_one(to_caller_);
  }
}

void Mailbox::fail(std::exception_ptr failure) noexcept {
  {
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
  }
  // The caller in progress takes the failure; the callers after it find kGone at their turn.
  mark_gone();
}

}  // namespace kelmora::engine::trigger::details
