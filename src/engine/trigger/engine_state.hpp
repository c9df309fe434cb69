#pragma once
// The thread engine's private state: the engine-wide tables and the per-tree record shared by a
// tree's callers, its stopper and its worker.
//
// Lock order: a tree's caller_mutex, then its mutex; the engine mutex is taken only for single
// table steps and never while a tree lock is waited for.

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
  // A thread still joinable here (its stop failed) is detached rather than terminating.
  ~TreeRecord();
  TreeRecord(const TreeRecord&) = delete;
  TreeRecord& operator=(const TreeRecord&) = delete;

  // Both set by creation before the record is entered in `trees`, never changed afterwards.
  std::string tree_id;
  std::uint64_t sequence = 0;  // creation order of the tree in `trees`

  // Serialises the users of this tree: held by a caller for a whole command round trip, by a
  // stop while it writes the stop marker, and by creation until the thread is stored.
  std::mutex caller_mutex;
  // Written by creation under caller_mutex; afterwards only the stop that set `removed` joins it.
  std::thread thread;
  // Set (under caller_mutex) by the stop that takes the tree over, or by a failed creation: the
  // tree is gone for callers from then on. Whoever queued behind that looks the id up again.
  std::atomic<bool> removed{false};

  // The tree's lock and condition variable: guard the two slots and worker_ended.
  std::mutex mutex;
  std::condition_variable cond;
  CommandSlot command;
  std::optional<ResultRecord> result;
  bool worker_ended = false;  // the worker left through its error path

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

  // Requested by stop before it queues for the tree, so a tick loop in progress ends.
  std::stop_source stop_source;
  // The worker's thread, recorded by the worker itself, to refuse calls from its own ticks.
  std::atomic<std::thread::id> worker_id{};
  // Set when the engine is destroyed from this tree's own worker: the worker leaves its loop
  // after the command in progress.
  std::atomic<bool> abandoned{false};
};

struct ThreadEngine::State {
  explicit State(Options opts);

  const Options options;
  const std::chrono::nanoseconds spin_time;

  // Guards everything below; held only for single steps on the tables.
  mutable std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<TreeRecord>> trees;
  std::map<std::uint64_t, std::string> order;  // creation sequence -> tree id
  std::uint64_t next_sequence = 0;
  std::vector<ActionRegistration> registrations;

  // Takes the record out of both tables if it is still the one under its id. Thread-safe.
  void withdraw(const TreeRecord& record);
};

namespace details {

// The message of the refusal of a call from a tree's own worker thread.
std::string own_thread_message(const std::string& tree_id);

// Carries out one command (see ThreadEngine::_process_command). Not thread-safe: worker only.
void process_command(WorkerEngine& engine, const CommandRecord& command, const std::string& tree_id,
                     std::optional<ResultRecord>& result);

}  // namespace details
}  // namespace kelmora::engine::trigger
