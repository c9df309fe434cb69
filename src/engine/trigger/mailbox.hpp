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
//
// How it waits. The round trip is three 32-bit words, each changed only by atomic
// read-modify-writes: the turn (which caller may hand over a job), the worker's word (a job is
// there, the worker is to end, it sleeps, it has ended) and the caller's word (the reply is
// there, the caller sleeps, the worker is gone). Nothing is locked on the way of a command. A
// side that has to wait spins first, for a bounded time, and then sleeps on the word (a futex on
// Linux, std::atomic::wait elsewhere); the other side wakes it only when the word says it sleeps.
//   - The caller spins while the worker runs its job for about as long as this tree's recent jobs
//     took (twice the worker's running average, plus the time a hand-over takes across cores),
//     never longer than the spin limit; a tree whose jobs take longer than that, or whose worker
//     was asleep when the job came, sleeps at once.
//   - The worker, after a delivery, spins for the next job of a burst within a budget of at most
//     the spin limit that adapts to how its spins turn out (a spin that runs out halves it, one
//     that succeeds restores it; once it is gone, a full spin is tried only every kProbeEvery
//     waits), so that a worker of a quiet tree, or on a busy machine, stops spending CPU in vain.
// So a command costs at most two spin limits of CPU beyond its own work, an idle tree none, and
// commands sent back to back cost no sleep and no wake-up. A zero spin limit never spins.
//
// The mutex guards only what a failed or cancelled mailbox tells its callers; no user code runs
// under it, and no lock is held while a job runs, so a job may call any other tree's mailbox.

#include <atomic>
#include <chrono>
#include <concepts>
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
  // looks at. `interrupted` is called on the caller's thread every `every` while the caller
  // sleeps, until it returns true: then a caller still waiting for its turn leaves at once
  // (kInterrupted, its job not run), and one whose job was handed over requests `cancel` (the
  // job's tick loops watch its token) and waits for the reply as usual. Nothing of the mailbox
  // is held while it runs, so it may take other locks (the GIL). A caller with a poll sleeps in
  // slices of `every` instead of once; callers without one are not affected.
  struct CallerPoll {
    std::function<bool()> interrupted;
    std::chrono::nanoseconds every = std::chrono::milliseconds(20);
    std::stop_source cancel;
  };

  // `spin_limit`: the longest either side spins before it sleeps (zero: never spins).
  explicit Mailbox(std::chrono::nanoseconds spin_limit) noexcept;
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // --- callers ---

  // Waits for this caller's turn, hands `job` to the worker and waits until it has been run and
  // its outcome delivered, or until it cannot be any more; with a `poll`, looks at it while it
  // sleeps (see CallerPoll). Thread-safe.
  Reply call(JobRef job, CallerPoll* poll = nullptr);

  // --- whoever ends the tree ---

  // Closes the mailbox to callers not yet served, waits until the caller in progress (if any)
  // has its reply, then tells the worker to end (a worker still starting ends as soon as it would
  // serve); does not wait for the worker to end (join its thread for that). Thread-safe; call it
  // at most once, and not together with abandon().
  void stop();
  // Closes the mailbox and tells the worker to end after the job it runs now, if any; waits for
  // nothing (for a worker that cannot be waited for: the caller runs inside its job, or inside a
  // job it waits for). A caller that had its turn but had not yet handed its job over when the
  // worker ended gets kClosed. Thread-safe; never throws.
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

  // --- observation (tests, diagnostics) ---

  // Whether the worker sleeps now, waiting for a job (false while it spins, runs a job or has
  // not started). Thread-safe.
  bool worker_asleep() const noexcept;
  // The spin limit this mailbox was made with. Thread-safe.
  std::chrono::nanoseconds spin_limit() const noexcept { return spin_limit_; }

 private:
  enum class Turn { kTaken, kClosed, kInterrupted };
  // Waits until the turn is free and takes it; kClosed once the mailbox is closed, kInterrupted
  // when `poll` said so first.
  Turn take_turn(CallerPoll* poll);
  // Gives the turn up and wakes whoever sleeps waiting for it.
  void release_turn() noexcept;
  // Closes the turn to callers and wakes those that sleep waiting for it.
  void close_turn() noexcept;
  // Waits until the worker's word holds a job or the end; returns the word.
  std::uint32_t wait_for_request() noexcept;
  // Waits until the caller's word holds a reply or the worker is gone; returns the word. With a
  // `poll` that says so meanwhile, requests its cancel and sets `interrupted`.
  std::uint32_t wait_for_reply(std::chrono::nanoseconds spin, CallerPoll* poll, bool& interrupted);
  // The reply of a caller whose worker is gone (failed, or never to come).
  Reply gone_reply();
  // Records that the worker is gone in the caller's word and wakes a caller that sleeps on it.
  void mark_gone() noexcept;
  // How long the caller spins for its reply: see the class comment.
  std::chrono::nanoseconds caller_spin() const noexcept;
  // The worker's spin for the next job, within its adaptive budget; true when one came.
  bool worker_spin() noexcept;

  static constexpr std::uint32_t kProbeEvery = 64;

  const std::chrono::nanoseconds spin_limit_;

  // The turn: kTaken while a caller holds it, kQueued while someone sleeps waiting for it to be
  // free, kClosed from stop, abandon or cancel on.
  alignas(64) std::atomic<std::uint32_t> turn_{0};

  // The round trip, on one cache line: the caller writes job_ and then sets kJob in the worker's
  // word (release); the worker writes error_ and then sets kDone in the caller's word (release).
  alignas(64) std::atomic<std::uint32_t> to_worker_{0};  // kJob, kStop, kAsleep, kEnded
  std::atomic<std::uint32_t> to_caller_{0};              // kDone, kAsleep, kGone
  JobRef job_;
  std::exception_ptr error_;
  // The running average of how long the worker's jobs take, in nanoseconds; written by the
  // worker, read by callers to size their spin.
  std::atomic<std::int64_t> job_ns_{0};

  // The worker's own: its spin budget and the waits it skipped since the budget ran out.
  std::chrono::nanoseconds worker_budget_;
  std::uint32_t skipped_ = 0;

  // What a mailbox whose worker is gone tells its callers. Guarded by mutex_.
  std::mutex mutex_;
  std::exception_ptr failure_;  // the failure not yet given to a caller
  bool cancelled_ = false;      // no worker will ever serve
};

}  // namespace kelmora::engine::trigger::details
