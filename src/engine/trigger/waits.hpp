#pragma once
// What a tree's worker waits for, process-wide, so that a wait that could never end is refused
// instead of entered; and which process an engine belongs to, so that a forked child never waits
// for a worker that only exists in its parent.
//
// The wait-for record: while a worker thread (one running a tick function, say) waits on another
// tree (for a command's result, for a stop, for a stop to finish before it creates a tree), it
// records "this tree waits for that tree". Each worker waits for at most one tree at a time, so
// following the record from a tree leads along one chain; a wait whose chain leads back to the
// waiting tree closes a cycle: none of its trees could go on. Such a wait is refused, and checking
// the chain and recording the wait are one step under one lock, so of two waits that would close a
// cycle together the second is always refused. Threads that are no tree's worker record nothing:
// nothing in the engine waits for them, so their waits close no cycle. The record spans all
// engines of the process, since trees of different engines may call each other.

#include <cstdint>
#include <optional>
#include <string>

namespace kelmora::engine::trigger::details {

// 0 in the process that loaded kelmora, one more in each child made by fork() after that.
// Thread-safe.
std::uint64_t fork_generation() noexcept;

// For the object's life, the calling thread is the worker of the tree whose record is `node`
// (used only as an identity) and whose id is `*name` (which must outlive the object). Not
// thread-safe: made and destroyed on the worker thread.
class WorkerScope {
 public:
  WorkerScope(const void* node, const std::string* name) noexcept;
  ~WorkerScope();
  WorkerScope(const WorkerScope&) = delete;
  WorkerScope& operator=(const WorkerScope&) = delete;
};

// Records, for the object's life, that the calling thread, if it is a tree's worker, waits for
// the tree whose record is `target` and whose id is `target_name` (which must outlive the
// object). When that wait would close a cycle, nothing is recorded and cycle() names it, from the
// waiting tree round to itself ("B -> A -> B"). On any other thread it records nothing and
// refuses nothing. Destroy it before logging: its lock is never held beyond the constructor and
// the destructor. Thread-safe; one object per wait, made and destroyed on the waiting thread.
class WaitFor {
 public:
  WaitFor(const void* target, const std::string& target_name);
  ~WaitFor();
  WaitFor(const WaitFor&) = delete;
  WaitFor& operator=(const WaitFor&) = delete;

  const std::optional<std::string>& cycle() const noexcept { return cycle_; }

 private:
  const void* waiter_ = nullptr;  // set when a wait was recorded
  std::optional<std::string> cycle_;
};

}  // namespace kelmora::engine::trigger::details
