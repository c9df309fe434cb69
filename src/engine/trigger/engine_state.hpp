#pragma once
// The thread engine's private state: the engine-wide tables and the per-tree record shared by a
// tree's callers, its stopper and its worker.
//
// Lock order: a tree's caller_mutex, then its mutex; the engine mutex is taken only for single
// table steps and never while a tree lock is waited for; the wait-for record's lock (waits.hpp)
// is taken last and only for its own steps. No lock is held while a log line is written, so a log
// handler may use the engine.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <kelmora/engine/trigger/mthread.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "spin.hpp"

namespace kelmora::engine::trigger {

struct ThreadEngine::TreeRecord {
  explicit TreeRecord(std::chrono::nanoseconds spin_time) : worker_spin(spin_time) {}
  // Joins a thread that is still joinable; see the definition for when that can happen.
  ~TreeRecord();
  TreeRecord(const TreeRecord&) = delete;
  TreeRecord& operator=(const TreeRecord&) = delete;

  // Both set by creation before the record is entered in `trees`, never changed afterwards.
  std::string tree_id;
  std::uint64_t sequence = 0;  // creation order of the tree in `trees`

  // Serialises the users of this tree: held by a caller for a whole command round trip, by a
  // stop while it writes the stop marker, and by creation until the thread is stored. Never held
  // while a log line is written.
  std::mutex caller_mutex;
  // Written by creation under caller_mutex; afterwards only the stop that claimed the tree joins
  // (or, for an abandoned tree, detaches) it.
  std::thread thread;
  // Set under the engine mutex by the stop that claims the tree, or by a failed creation: from
  // then on the tree is gone for its callers and not listed, though its record stays in `trees`
  // (so its id stays taken) until the stop has ended the worker and withdraws it.
  std::atomic<bool> stopping{false};

  // The tree's lock and condition variable: guard the two slots, worker_line and worker_ended.
  std::mutex mutex;
  std::condition_variable cond;
  CommandSlot command;
  std::optional<ResultRecord> result;
  // The worker's log line about the command of `result` (a failed or unknown command). The
  // caller writes it, before its own line, once it holds no lock, so that a log handler may use
  // the tree it is told about.
  std::optional<std::string> worker_line;
  bool worker_ended = false;  // the worker has left (its error path, or abandoned)

  // Lock-free hints of "the command slot holds something" and "the result slot holds a record",
  // written under `mutex` with the slots; read without it only while spinning, before the
  // authoritative check under the lock.
  std::atomic<bool> command_ready{false};
  std::atomic<bool> result_ready{false};
  // Whether the worker sleeps on `cond` (written under `mutex`). A caller spins for its result
  // only when the worker was awake to take the command: waking a sleeping worker takes longer
  // than a spin is allowed to last.
  std::atomic<bool> worker_sleeping{false};
  // The worker's spin while it waits for the next command: it pays off only while callers send
  // commands back to back, so it adapts to how often it does.
  details::AdaptiveSpin worker_spin;

  // Requested by the stop that claims the tree, before it queues for the tree, so a tick loop
  // in progress ends.
  std::stop_source stop_source;
  // The worker's thread, recorded by the worker itself, to refuse calls from its own ticks.
  std::atomic<std::thread::id> worker_id{};
  // Set (under `mutex`) when the engine is destroyed while the worker cannot be waited for (from
  // its own tick, or from a tick it waits for): the worker leaves after the command in progress.
  std::atomic<bool> abandoned{false};
  // The worker's failure message, set on its error path before it is logged; read only on the
  // worker's own thread, by commands a log handler sends from there.
  std::optional<std::string> failure;
};

struct ThreadEngine::State {
  explicit State(Options opts);

  const Options options;
  const std::chrono::nanoseconds spin_time;
  // The fork generation of the process the engine was made in (waits.hpp).
  const std::uint64_t fork_generation;
  // Whether this is a forked child of the process that made the engine: none of its workers
  // exists here, and its locks may have been held at the fork by threads that do not either.
  bool inherited() const noexcept;

  // What claiming a tree for a stop found.
  enum class Claim { kClaimed, kStoppingElsewhere, kGone };

  // Guards everything below; held only for single steps on the tables.
  mutable std::mutex mutex;
  // Notified whenever a record leaves `trees`.
  mutable std::condition_variable withdrawn;
  std::unordered_map<std::string, std::shared_ptr<TreeRecord>> trees;
  // Every record of `trees`, by creation sequence.
  std::map<std::uint64_t, std::shared_ptr<TreeRecord>> order;
  std::size_t listed = 0;  // records of `trees` not being stopped: the trees present
  std::uint64_t next_sequence = 0;
  std::vector<ActionRegistration> registrations;
  bool closed = false;  // the engine is being destroyed: no tree may be created any more

  // The record under the id unless it is being stopped. Thread-safe.
  std::shared_ptr<TreeRecord> lookup(const std::string& tree_id) const;
  // "tree_" + the number of trees present if no record holds that id, else the next such id
  // above it. Call with `mutex` held.
  std::string generated_id() const;
  // Takes the record over for a stop if it is present and nobody stops it yet. Thread-safe.
  Claim claim(TreeRecord& record);
  // What claim() would find, without claiming. Thread-safe.
  Claim inspect(const TreeRecord& record) const;
  // Every record of `trees`, in creation order. Thread-safe.
  std::vector<std::shared_ptr<TreeRecord>> snapshot() const;
  // Takes the record out of the tables if it is still the one under its id, and wakes those
  // waiting for that. Thread-safe.
  void withdraw(TreeRecord& record);
  // Waits until the record is no longer in `trees`. Thread-safe.
  void wait_withdrawn(const TreeRecord& record) const;
};

namespace details {

// The message of the refusal of a call from a tree's own worker thread.
std::string own_thread_message(const std::string& tree_id);
// The text that follows a refused wait's "...失败: ", naming the cycle it would close.
std::string cycle_text(const std::string& cycle);
// The failure of an operation on an engine inherited across fork(), and of a command to one of
// its trees.
std::string inherited_message();
std::string inherited_command_message(const std::string& tree_id, const std::string& type);

// Carries out one command (see ThreadEngine::_process_command) and returns the error-level line
// that describes its failure (nullopt on success), for the caller to log. Not thread-safe:
// worker only.
std::optional<std::string> process_command(WorkerEngine& engine, const CommandRecord& command,
                                           const std::string& tree_id,
                                           std::optional<ResultRecord>& result);

}  // namespace details
}  // namespace kelmora::engine::trigger
