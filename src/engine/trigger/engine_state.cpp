#include "engine_state.hpp"

#include <kelmora/log.hpp>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

#include "reaper.hpp"
#include "waits.hpp"

namespace kelmora::engine::trigger::details {

TreeRecord::TreeRecord(core::TreeSource tree_source, std::chrono::nanoseconds spin_time)
    : source(std::move(tree_source)),
      created_at(std::chrono::system_clock::now()),
      mailbox(spin_time) {}

TreeRecord::~TreeRecord() {
  // Every stop takes the thread out (to join it, or to hand it to the reaper) and a failed
  // creation never stores one, so a thread here means the tree was never stopped (stopping it
  // failed while its engine was destroyed). Its worker is told to leave after its command in
  // progress, and the reaper joins it: this may run on that very worker, which cannot join
  // itself.
  if (!thread.joinable()) return;
  mailbox.abandon();
  reap(std::move(thread));
}

std::size_t usable_cpus() noexcept {
#if defined(__linux__)
  // The CPUs this process may run on, which a container or `taskset` may make fewer than the
  // machine has.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
    return static_cast<std::size_t>(CPU_COUNT(&set));
  }
#endif
  return std::thread::hardware_concurrency();
}

std::chrono::nanoseconds effective_spin_time(std::chrono::nanoseconds requested,
                                             std::size_t cpus) noexcept {
  // With one CPU, a spinning thread only keeps the one it waits for from running.
  if (cpus <= 1 || requested < std::chrono::nanoseconds::zero()) {
    return std::chrono::nanoseconds::zero();
  }
  return requested;
}

EngineState::EngineState(EngineOptions options)
    : spin_time(effective_spin_time(options.spin_time, usable_cpus())),
      tick_period(options.tick_period),
      fork_generation(details::fork_generation()) {
  if (tick_period < std::chrono::nanoseconds::zero()) {
    throw ValueError("the tick period must not be negative (got " +
                     std::to_string(tick_period.count()) + " ns)");
  }
}

bool EngineState::inherited() const noexcept {
  return details::fork_generation() != fork_generation;
}

EngineState::Shard& EngineState::shard(const std::string& tree_id) const {
  return index_[std::hash<std::string>{}(tree_id) % kShards];
}

std::shared_ptr<TreeRecord> EngineState::lookup(const std::string& tree_id) const {
  const Shard& s = shard(tree_id);
  std::lock_guard lock(s.mutex);
  auto it = s.trees.find(tree_id);
  return it == s.trees.end() ? nullptr : it->second;
}

void EngineState::enter(const std::shared_ptr<TreeRecord>& record) {
  record->sequence = next_sequence++;
  trees.emplace(record->tree_id, record);
  order.emplace(record->sequence, record);
  ++listed;
  Shard& s = shard(record->tree_id);
  std::lock_guard lock(s.mutex);
  s.trees.emplace(record->tree_id, record);
}

void EngineState::unindex(const TreeRecord& record) {
  Shard& s = shard(record.tree_id);
  std::lock_guard lock(s.mutex);
  auto it = s.trees.find(record.tree_id);
  if (it != s.trees.end() && it->second.get() == &record) s.trees.erase(it);
}

std::string EngineState::generated_id() const {
  for (std::size_t n = listed;; ++n) {
    std::string id = "tree_" + std::to_string(n);
    if (!trees.contains(id)) return id;
  }
}

EngineState::Claim EngineState::claim(TreeRecord& record) {
  std::lock_guard lock(mutex);
  auto it = trees.find(record.tree_id);
  if (it == trees.end() || it->second.get() != &record) return Claim::kGone;
  if (record.stopping) return Claim::kStoppingElsewhere;
  record.stopping = true;
  --listed;
  unindex(record);
  return Claim::kClaimed;
}

EngineState::Claim EngineState::inspect(const TreeRecord& record) const {
  std::lock_guard lock(mutex);
  auto it = trees.find(record.tree_id);
  if (it == trees.end() || it->second.get() != &record) return Claim::kGone;
  return record.stopping ? Claim::kStoppingElsewhere : Claim::kClaimed;
}

std::vector<std::shared_ptr<TreeRecord>> EngineState::snapshot() const {
  std::lock_guard lock(mutex);
  std::vector<std::shared_ptr<TreeRecord>> records;
  records.reserve(order.size());
  for (const auto& entry : order) records.push_back(entry.second);
  return records;
}

void EngineState::settle_start(TreeRecord& record, std::thread thread) {
  {
    std::lock_guard lock(mutex);
    if (!thread.joinable()) withdraw_locked(record);
    record.thread = std::move(thread);
    record.start_settled = true;
  }
  changed.notify_all();
}

std::thread EngineState::take_thread(TreeRecord& record) {
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return record.start_settled; });
  return std::move(record.thread);
}

void EngineState::withdraw_locked(TreeRecord& record) {
  auto it = trees.find(record.tree_id);
  if (it == trees.end() || it->second.get() != &record) return;
  trees.erase(it);
  order.erase(record.sequence);
  if (!record.stopping) {
    --listed;
    unindex(record);
  }
  record.stopping = true;
}

void EngineState::withdraw(TreeRecord& record) {
  {
    std::lock_guard lock(mutex);
    withdraw_locked(record);
  }
  changed.notify_all();
}

void EngineState::wait_withdrawn(const TreeRecord& record) const {
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] {
    auto it = trees.find(record.tree_id);
    return it == trees.end() || it->second.get() != &record;
  });
}

std::shared_ptr<TreeRecord> find_tree(const EngineState& state, const std::string& tree_id) {
  if (auto record = state.lookup(tree_id)) return record;
  fail_missing_tree(tree_id);
}

void fail_missing_tree(const std::string& tree_id) {
  std::string message = "行为树ID " + tree_id + " 不存在";
  log::error(message);
  throw ValueError(message);
}

std::string own_thread_message(const std::string& tree_id) {
  return "行为树 " + tree_id + " 的命令不能在它自己的工作线程中调用";
}

std::string cycle_text(const std::string& cycle) { return "会形成循环等待 " + cycle; }

std::string inherited_message() {
  return "此线程引擎是在 fork 之前创建的, 它的工作线程不在当前进程中";
}

std::string inherited_command_message(const std::string& tree_id, std::string_view type) {
  return "行为树 " + tree_id + " 执行命令 " + std::string(type) +
         " 失败: 工作线程不在当前进程中 (线程引擎是在 fork 之前创建的)";
}

std::string error_text(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

bool is_tree_stopped(const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const core::TreeStoppedError&) {
    return true;
  } catch (...) {
    return false;
  }
}

void throw_caused(const RuntimeError& error, std::exception_ptr cause) {
  if (!cause) throw error;
  try {
    std::rethrow_exception(std::move(cause));
  } catch (...) {
    std::throw_with_nested(error);
  }
}

void fail_logged(const RuntimeError& error, std::exception_ptr cause) {
  log::error(error.what());
  throw_caused(error, std::move(cause));
}

}  // namespace kelmora::engine::trigger::details
