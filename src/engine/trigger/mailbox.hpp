#pragma once
// Mailbox: one tree's round trip between its callers and its worker.
//
// A caller hands the worker a job (a function of the worker's SequentialEngine) and waits until
// the worker has run it and delivered the outcome: nothing, or the exception the job threw.
// The invariants, each kept by this class alone:
//   - Callers are served one at a time and each gets the outcome of its own job.
//   - A job handed over before the worker serves (while its tree is still being built) waits for
//     the worker; it is run as soon as the worker starts serving.
//   - stop() waits for the job in progress and its delivery, then makes the worker end; callers
//     not yet served get kClosed from the moment the stop begins.
//   - A worker that failed (fail()) gives its failure to the caller waiting then, or else to the
//     next caller, once; every later caller gets kWorkerEnded at once.
//   - Nothing waits forever on a mailbox whose worker is gone: a failed worker wakes its callers,
//     and a worker that never starts is cancelled (cancel()).
// Both sides spin for a bounded time before they sleep (spin_until(), the one spin loop): a caller
// for spin_time while an awake worker runs its job; the worker, after a delivery, while the next
// job may follow, for a budget of at most spin_time that adapts to how its spins turn out (a spin
// that runs out halves it, one that succeeds restores it; once it is gone, a full spin is tried
// only every kProbeEvery waits), so that a worker of a quiet tree, or on a busy machine, stops
// spending CPU in vain. Short jobs sent back to back then cost no sleep and no wake-up.
//
// One mutex guards all state; no user code runs under it (jobs run unlocked), and it is never
// held while another lock is waited for, so a job may call any other tree's mailbox.

#include <atomic>
#include <chrono>
#include <concepts>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <kelmora/engine/sequential_engine.hpp>
#include <mutex>
#include <stop_token>

namespace kelmora::engine::trigger::details {

// A job for a worker: a callable of the caller's, called with the worker's engine. It refers to
// the callable and does not own it: the caller keeps it alive until its call() returns.
class JobRef {
 public:
  JobRef() noexcept = default;
  template <class F>
  requires std::invocable<F&, SequentialEngine&>
  explicit JobRef(F& job) noexcept
      : object_(&job),
        run_([](void* object, SequentialEngine& engine) { (*static_cast<F*>(object))(engine); }) {}

  void operator()(SequentialEngine& engine) const { run_(object_, engine); }

 private:
  void* object_ = nullptr;
  void (*run_)(void*, SequentialEngine&) = nullptr;
};

class Mailbox {
 public:
  enum class Outcome {
    kDone,          // the job ran; Reply::error holds what it threw, if anything
    kWorkerFailed,  // the worker failed before it ran the job; Reply::error holds its failure
    kWorkerEnded,   // the worker has ended without running the job (its failure went to another)
    kClosed,        // stop, abandon or cancel came before the job's turn: the job did not run
    kInterrupted,   // the caller's poll said so before the job's turn: the job did not run
  };
  struct Reply {
    Outcome outcome = Outcome::kClosed;
    std::exception_ptr error;
    // The caller's poll said so while the job ran (its cancel was requested).
    bool interrupted = false;
  };

  // What a caller that must stay responsive while it waits (a Python main thread, for Ctrl-C)
  // looks at. `interrupted` is called on the caller's thread, with no lock held, every `every`
  // while the caller waits, until it returns true: then a caller still waiting for its turn
  // leaves at once (kInterrupted, its job not run), and one whose job was handed over requests
  // `cancel` (the job's tick loops watch its token) and waits for the reply as usual.
  struct CallerPoll {
    std::function<bool()> interrupted;
    std::chrono::nanoseconds every;
    std::stop_source cancel;
  };

  // `spin_time`: how long each side spins before it sleeps (zero: never).
  explicit Mailbox(std::chrono::nanoseconds spin_time) noexcept : spin_time_(spin_time) {}
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // --- callers ---

  // Waits for this caller's turn, hands `job` to the worker and waits until it has been run and
  // its outcome delivered, or until it cannot be any more; with a `poll`, looks at it while it
  // waits (see CallerPoll). Thread-safe.
  Reply call(JobRef job, CallerPoll* poll = nullptr);

  // --- whoever ends the tree ---

  // Closes the mailbox to callers not yet served, waits until the caller in progress (if any)
  // has its reply, then tells the worker to end (a worker still starting ends as soon as it would
  // serve); does not wait for the worker to end (join its thread for that). Thread-safe; call it
  // at most once, and not together with abandon().
  void stop();
  // Closes the mailbox and tells the worker to end after the job it runs now, if any; waits for
  // nothing (for a worker that cannot be waited for: the caller runs inside its job, or inside a
  // job it waits for). Thread-safe; never throws.
  void abandon() noexcept;
  // Closes the mailbox for good when its worker will never serve (its thread could not be
  // started): the caller whose job waits, and every later one, get kClosed. Thread-safe; never
  // throws.
  void cancel() noexcept;

  // --- the worker ---

  // Runs the jobs handed over, one at a time, each with `engine`, until stop() or abandon() tells
  // it to end; a job's exception is delivered to its caller, not thrown. Not thread-safe: only the
  // worker calls it, once.
  void serve(SequentialEngine& engine);
  // Records that the worker failed and will serve no more (call it instead of, or after, serve):
  // `failure` goes to the caller waiting now, or else to the next one. Not thread-safe: only the
  // worker calls it, once; never throws.
  void fail(std::exception_ptr failure) noexcept;

 private:
  enum class Worker { kServing, kFailed, kEnded };

  // Spins until `flag` is set or `limit` has passed; true when it was seen set.
  static bool spin_until(const std::atomic<bool>& flag, std::chrono::nanoseconds limit) noexcept;
  // The worker's spin for the next job, within its adaptive budget.
  void worker_spin() noexcept;
  // Gives up the caller's turn and wakes whoever waits for it. Call with `lock` held; releases it.
  void release_turn(std::unique_lock<std::mutex>& lock);
  // Waits on `cond` until `ready()` holds, asking `poll` (when there is one and it has not said so
  // yet) every poll->every with `lock` released; false when the poll said so first, leaving
  // `interrupted` set.
  template <class Ready>
  bool wait_polling(std::unique_lock<std::mutex>& lock, std::condition_variable& cond,
                    Ready ready, CallerPoll* poll, bool& interrupted);

  static constexpr std::uint32_t kProbeEvery = 64;

  const std::chrono::nanoseconds spin_time_;
  // The worker's spin budget and the waits it skipped since the budget ran out; the worker's own.
  std::chrono::nanoseconds worker_budget_ = spin_time_;
  std::uint32_t skipped_ = 0;

  std::mutex mutex_;
  std::condition_variable turn_;   // callers waiting for their turn, and stop()
  std::condition_variable reply_;  // the caller in progress waiting for its reply
  std::condition_variable wake_;   // the worker waiting for a job or the end

  // Guarded by mutex_.
  bool busy_ = false;         // a caller holds the turn, from handing over its job to its reply
  bool has_job_ = false;      // job_ waits for the worker
  JobRef job_;                // meaningful only while has_job_
  std::exception_ptr error_;  // what the delivered job threw
  bool closed_ = false;       // stop, abandon or cancel: no caller gets a turn any more
  bool cancelled_ = false;    // no worker will ever serve
  bool stop_ = false;         // stop or abandon: the worker ends when it has no job
  Worker worker_ = Worker::kServing;
  std::exception_ptr failure_;  // the failure not yet given to a caller
  bool worker_sleeping_ = false;

  // Lock-free hints for spinning, written under mutex_ with the state they stand for and read
  // without it only while spinning, before the authoritative check under the lock.
  std::atomic<bool> job_ready_{false};  // has_job_ || stop_
  std::atomic<bool> delivered_{false};  // a reply waits for the caller in progress
};

}  // namespace kelmora::engine::trigger::details
