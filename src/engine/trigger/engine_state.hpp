#pragma once
// The thread engine's private state: the engine-wide table of trees and registrations, and the
// record of one tree, shared by its callers, its stopper and its worker. The round trip of a
// command lives in the tree's Mailbox (mailbox.hpp).
//
// Locks: the table's mutex is held only for single steps on the table, never while a tree's
// mailbox is waited for; the mailbox's lock and the wait-for record's lock (waits.hpp) are taken
// only inside their own steps. No lock is held while a log line is written, so a log handler may
// use the engine.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/tree_source.hpp>
#include <kelmora/core/wake_up_signal.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "mailbox.hpp"
#include "observe/hub.hpp"

namespace kelmora::observe::details {
class Recorder;
class Monitor;
}  // namespace kelmora::observe::details

namespace kelmora::engine::trigger::details {

// Starts `body` on a new thread and returns that thread (by default std::thread). May throw:
// creation then withdraws the tree and passes the error on.
using StartThread = std::function<std::thread(std::function<void()> body)>;

struct EngineState;

struct TreeRecord {
  TreeRecord(core::TreeSource tree_source, std::chrono::nanoseconds spin_time);
  // A record whose thread is still there (never the case after a stop) tells its worker to
  // leave and hands the thread to the reaper: a record never detaches, nor waits for, its worker.
  ~TreeRecord();
  TreeRecord(const TreeRecord&) = delete;
  TreeRecord& operator=(const TreeRecord&) = delete;

  // Set by creation before the record is entered in the table, never changed afterwards.
  std::string tree_id;
  // The engine the tree belongs to, for a caller that has to look the id up again.
  std::weak_ptr<EngineState> engine;
  std::uint64_t sequence = 0;  // creation order
  const core::TreeSource source;
  // For a tree made from a registered BehaviorTree: its ID, and the path of the file that
  // defines it (`source` then holds that file's text, for TreeInfo).
  std::optional<std::string> tree_name;
  std::optional<std::string> definition_path;
  const std::chrono::system_clock::time_point created_at;

  Mailbox mailbox;
  // Requested by the stop that claims the tree, so a tick loop in progress ends.
  std::stop_source stop_source;
  // The signal the worker's tick loops wait on; emit_wake_up_signal emits it from any thread.
  const std::shared_ptr<core::WakeUpSignal> wake_up = std::make_shared<core::WakeUpSignal>();
  // The worker's thread while its routine runs, recorded by the worker itself, to refuse calls
  // from its own ticks.
  std::atomic<std::thread::id> worker_id{};
  // The worker's failure, set on its error path before it is logged; read only on the worker's
  // own thread, by commands a log handler sends from there.
  std::exception_ptr failure;

  // Guarded by the table's mutex.
  // Set by the stop that claims the tree, or by a failed creation: from then on the tree is gone
  // for its callers and not listed, though the record stays in the table (so its id stays taken)
  // until the stop has ended the worker and withdraws it.
  bool stopping = false;
  // Set by creation once the thread is stored in `thread` (or could not be started).
  bool start_settled = false;
  std::thread thread;
};

// One registration as the engine keeps it: replayed, in registration order with every other
// kind, into the SequentialEngine of each tree whose worker starts afterwards. A new kind of
// registration is one more way of making a step; the list and its replay stay as they are.
struct ReplayStep {
  // Registers itself with a tree's engine; called on the tree's worker, before the tree is
  // built. Copied to each worker: it must be safe to copy and call on any thread (a host's
  // objects inside it are held as the host's thread-safe references).
  std::function<void(SequentialEngine&)> apply;
  // Set for an action behaviour (register_action_behavior, register_action_class): the triple
  // action_registrations() lists. Unset for every other kind.
  std::optional<ActionRegistration> action;
};

struct EngineState {
  // Throws ValueError for a negative tick period.
  explicit EngineState(EngineOptions options);

  const std::chrono::nanoseconds spin_time;
  // Every worker's tick period at its start.
  const std::chrono::nanoseconds tick_period;
  // The fork generation of the process the engine was made in (waits.hpp).
  const std::uint64_t fork_generation;
  // Whether this is a forked child of the process that made the engine: none of its workers
  // exists here, and its locks may have been held at the fork by threads that do not either.
  bool inherited() const noexcept;

  // What claiming a tree for a stop found.
  enum class Claim { kClaimed, kStoppingElsewhere, kGone };

  // Guards everything below (but `index`) and the table fields of every record; held only for
  // single steps, and never on the way of a command.
  mutable std::mutex mutex;
  // Notified whenever a record leaves `trees` or its start settles.
  mutable std::condition_variable changed;
  std::unordered_map<std::string, std::shared_ptr<TreeRecord>> trees;
  // Every record of `trees`, by creation sequence.
  std::map<std::uint64_t, std::shared_ptr<TreeRecord>> order;
  std::size_t listed = 0;  // records of `trees` not being stopped: the trees present
  std::uint64_t next_sequence = 0;
  // Every registration, in registration order.
  std::vector<ReplayStep> registrations;
  // The registered enum names and tree definitions, checked here before they are stored, with
  // the rules the workers' factories apply (so their replay cannot fail).
  core::BehaviorTreeFactory checked;
  bool closed = false;       // the engine is being destroyed: no tree may be created any more
  StartThread start_thread;  // empty: std::thread (tests replace it)

  // The engine's observers and the shapes of its trees; shared with the workers. Thread-safe.
  const std::shared_ptr<observe::details::ObserverHub> hub =
      std::make_shared<observe::details::ObserverHub>();
  // The recording and the monitor, when started, and their observer ids; guarded by
  // `services_mutex` (never held while a tree is waited for).
  std::mutex services_mutex;
  std::shared_ptr<observe::details::Recorder> recorder;
  observe::details::ObserverHub::Id recorder_id = 0;
  std::shared_ptr<observe::details::Monitor> monitor;
  observe::details::ObserverHub::Id monitor_id = 0;

  // The record under the id unless it is being stopped: one step under one shard's lock of the
  // index, so that callers of different trees share no lock. Thread-safe.
  std::shared_ptr<TreeRecord> lookup(const std::string& tree_id) const;
  // Enters a new record under its id in the tables and the index. Call with `mutex` held.
  void enter(const std::shared_ptr<TreeRecord>& record);
  // "tree_" + the number of trees present if no record holds that id, else the next such id
  // above it. Call with `mutex` held.
  std::string generated_id() const;
  // Takes the record over for a stop if it is present and nobody stops it yet. Thread-safe.
  Claim claim(TreeRecord& record);
  // What claim() would find, without claiming. Thread-safe.
  Claim inspect(const TreeRecord& record) const;
  // Every record of `trees`, in creation order. Thread-safe.
  std::vector<std::shared_ptr<TreeRecord>> snapshot() const;
  // Records that the record's start is over: `thread` is its worker, or empty when the thread
  // could not be started (the record is then withdrawn in the same step). Thread-safe.
  void settle_start(TreeRecord& record, std::thread thread);
  // Waits until the record's start is over and takes its thread (empty when it never started).
  // Thread-safe; only the stop that claimed the record calls it.
  std::thread take_thread(TreeRecord& record);
  // Takes the record out of the tables if it is still the one under its id, and wakes those
  // waiting for that. Thread-safe.
  void withdraw(TreeRecord& record);
  // Waits until the record is no longer in `trees`. Thread-safe.
  void wait_withdrawn(const TreeRecord& record) const;

 private:
  // withdraw() with `mutex` held.
  void withdraw_locked(TreeRecord& record);
  // Takes the record out of the index. Call with `mutex` held.
  void unindex(const TreeRecord& record);

  // The trees present (listed, not being stopped) by id, for the commands' lookups: split in
  // shards by the id's hash, each with its own lock, taken after `mutex` when both are.
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::unordered_map<std::string, std::shared_ptr<TreeRecord>> trees;
  };
  static constexpr std::size_t kShards = 64;
  Shard& shard(const std::string& tree_id) const;
  std::unique_ptr<Shard[]> index_ = std::make_unique<Shard[]>(kShards);
};

// How many CPUs this process may run on (its affinity mask where there is one). Thread-safe.
std::size_t usable_cpus() noexcept;
// The spin limit of an engine's mailboxes: the one requested, or zero (never spin) on a single
// CPU, where a spinning thread only delays the thread it waits for. Thread-safe.
std::chrono::nanoseconds effective_spin_time(std::chrono::nanoseconds requested,
                                             std::size_t cpus) noexcept;

// The record under the id, or logs and throws ValueError "行为树ID X 不存在" when there is none or
// it is being stopped. Thread-safe.
std::shared_ptr<TreeRecord> find_tree(const EngineState& state, const std::string& tree_id);
// Logs and throws ValueError "行为树ID X 不存在".
[[noreturn]] void fail_missing_tree(const std::string& tree_id);

// Logs "注册动作节点: " + id and appends `step` to the engine's registrations. Call it once the
// registration has been checked. Thread-safe.
void add_registration(EngineState& state, const std::string& id, ReplayStep step);

// The body of a tree's worker thread (thread_engine.cpp): makes the tree's SequentialEngine,
// replays the registrations, builds the tree and serves its mailbox until told to end; a
// failure is logged ("行为树线程 X 发生错误: ...") and given to the tree's callers. It holds the
// state (only while it copies the registrations) and its record itself, so nothing it uses can go
// away under it. Never throws.
void run_worker(std::shared_ptr<EngineState> state, std::shared_ptr<TreeRecord> record) noexcept;

// Stops the monitor and the recording, if any (observation.cpp). Never throws.
void end_observation(EngineState& state) noexcept;

// --- messages and errors shared by the engine and the host protocol ---

// A command whose caller's poll interrupted its wait (see Mailbox::CallerPoll): it did not run,
// or its tick loop was cancelled. Nothing is logged for it; the caller raises what interrupted
// it instead.
class InterruptedCommand : public RuntimeError {
 public:
  explicit InterruptedCommand(const std::string& message) : RuntimeError(message) {}
};

// The message of the refusal of a call from a tree's own worker thread.
std::string own_thread_message(const std::string& tree_id);
// The text that follows a refused wait's "...失败: ", naming the cycle it would close.
std::string cycle_text(const std::string& cycle);
// The failure of an operation on an engine inherited across fork(), and of a command to one of
// its trees.
std::string inherited_message();
std::string inherited_command_message(const std::string& tree_id, std::string_view type);
// What an exception says: what() of a std::exception, "unknown error" for anything else.
std::string error_text(const std::exception_ptr& error);
// Whether `error` is a core::TreeStoppedError: how a stopped or cancelled tick loop ends.
bool is_tree_stopped(const std::exception_ptr& error) noexcept;

// Logs `error`'s message at error level, then throws `error` with `cause` (if any) nested in it.
[[noreturn]] void fail_logged(const RuntimeError& error, std::exception_ptr cause = nullptr);
// Throws `error` with `cause` (if any) nested in it.
[[noreturn]] void throw_caused(const RuntimeError& error, std::exception_ptr cause);

}  // namespace kelmora::engine::trigger::details
