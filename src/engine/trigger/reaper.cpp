#include "reaper.hpp"

#include <pthread.h>

#include <atomic>
#include <deque>
#include <mutex>

namespace kelmora::engine::trigger::details {
namespace {

struct Reaper {
  std::mutex mutex;
  std::deque<std::thread> waiting;  // handed over, not yet joined, in hand-over order
  std::thread joiner;               // the joining thread, running or ended
  bool running = false;             // the joiner has not yet found `waiting` empty
};

// The reaper of this process. Never destroyed: joins may still be under way at exit.
std::atomic<Reaper*> g_reaper{nullptr};

// Around fork(): the lock is taken so that the child never inherits it held; the child starts
// with a reaper of its own, and the parent's (its threads are not in the child) is forgotten.
void before_fork() { g_reaper.load()->mutex.lock(); }
void after_fork_in_parent() { g_reaper.load()->mutex.unlock(); }
void after_fork_in_child() { g_reaper.store(new Reaper); }

Reaper& reaper() {
  static const bool made = [] {
    g_reaper.store(new Reaper);
    return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  static_cast<void>(made);
  return *g_reaper.load();
}

void run_joiner(Reaper* r) {
  for (;;) {
    std::thread next;
    {
      std::lock_guard lock(r->mutex);
      if (r->waiting.empty()) {
        r->running = false;
        return;
      }
      next = std::move(r->waiting.front());
      r->waiting.pop_front();
    }
    next.join();
  }
}

// At exit, joins the joiner once it has nothing left to join (it has ended, or is about to). A
// joiner still waiting for a worker is left: waiting for that worker could hold exit for ever.
struct JoinAtExit {
  ~JoinAtExit() {
    Reaper& r = *g_reaper.load();
    std::thread ended;
    {
      std::lock_guard lock(r.mutex);
      if (r.running) return;
      ended = std::move(r.joiner);
    }
    if (ended.joinable()) ended.join();
  }
};

}  // namespace

void reap(std::thread thread) noexcept {
  if (!thread.joinable()) return;
  static JoinAtExit join_at_exit;
  Reaper& r = reaper();
  std::thread ended;
  bool queued = false;
  {
    std::lock_guard lock(r.mutex);
    try {
      r.waiting.push_back(std::move(thread));
      queued = true;
    } catch (...) {
      // Out of memory: handled below, without the lock.
    }
    if (queued && !r.running) {
      ended = std::move(r.joiner);
      try {
        r.joiner = std::thread(run_joiner, &r);
        r.running = true;
      } catch (...) {
        // No thread now: the queue waits for the next hand-over to start one.
      }
    }
  }
  if (!queued) {
    // Nothing can take the thread. Another thread's worker is joined here; the calling thread's
    // own one can only be let go.
    if (thread.get_id() != std::this_thread::get_id()) {
      thread.join();
    } else {
      thread.detach();
    }
    return;
  }
  // The previous joiner found nothing left to join: it has returned, or is about to.
  if (ended.joinable()) ended.join();
}

}  // namespace kelmora::engine::trigger::details
