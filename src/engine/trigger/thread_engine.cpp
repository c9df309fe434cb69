// ThreadEngine: construction, action registration, tree creation, stopping and destruction.
// The command channel is in channel.cpp, the worker in worker.cpp.

#include <atomic>
#include <cstdlib>
#include <exception>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/type_name.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <utility>

#include "engine_state.hpp"
#include "waits.hpp"

namespace kelmora::engine::trigger {

namespace details {

std::string short_type_name(const char* mangled) {
  return core::short_type_name(core::demangle(mangled));
}

}  // namespace details

ThreadEngine::TreeRecord::~TreeRecord() {
  // Every stop joins the worker, or detaches an abandoned one; a failed creation never stores a
  // thread; an engine inherited by a forked child is never destroyed. So a joinable thread here
  // is unexpected: it is joined (its worker has been told to end), unless this is the worker
  // itself dropping its own record, which cannot join itself and is ending anyway.
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

ThreadEngine::State::State(Options opts)
    : options(std::move(opts)),
      spin_time(std::thread::hardware_concurrency() > 1 ? options.spin_time
                                                        : std::chrono::nanoseconds::zero()),
      fork_generation(details::fork_generation()) {}

bool ThreadEngine::State::inherited() const noexcept {
  return details::fork_generation() != fork_generation;
}

std::shared_ptr<ThreadEngine::TreeRecord> ThreadEngine::State::lookup(
    const std::string& tree_id) const {
  std::lock_guard lock(mutex);
  auto it = trees.find(tree_id);
  if (it != trees.end() && !it->second->stopping) return it->second;
  return nullptr;
}

std::string ThreadEngine::State::generated_id() const {
  for (std::size_t n = listed;; ++n) {
    std::string id = "tree_" + std::to_string(n);
    if (!trees.contains(id)) return id;
  }
}

ThreadEngine::State::Claim ThreadEngine::State::claim(TreeRecord& record) {
  std::lock_guard lock(mutex);
  auto it = trees.find(record.tree_id);
  if (it == trees.end() || it->second.get() != &record) return Claim::kGone;
  if (record.stopping) return Claim::kStoppingElsewhere;
  record.stopping = true;
  --listed;
  return Claim::kClaimed;
}

ThreadEngine::State::Claim ThreadEngine::State::inspect(const TreeRecord& record) const {
  std::lock_guard lock(mutex);
  auto it = trees.find(record.tree_id);
  if (it == trees.end() || it->second.get() != &record) return Claim::kGone;
  return record.stopping ? Claim::kStoppingElsewhere : Claim::kClaimed;
}

std::vector<std::shared_ptr<ThreadEngine::TreeRecord>> ThreadEngine::State::snapshot() const {
  std::lock_guard lock(mutex);
  std::vector<std::shared_ptr<TreeRecord>> records;
  records.reserve(order.size());
  for (const auto& entry : order) records.push_back(entry.second);
  return records;
}

void ThreadEngine::State::withdraw(TreeRecord& record) {
  {
    std::lock_guard lock(mutex);
    auto it = trees.find(record.tree_id);
    if (it != trees.end() && it->second.get() == &record) {
      trees.erase(it);
      order.erase(record.sequence);
      if (!record.stopping.exchange(true)) --listed;
    }
  }
  withdrawn.notify_all();
}

void ThreadEngine::State::wait_withdrawn(const TreeRecord& record) const {
  std::unique_lock lock(mutex);
  withdrawn.wait(lock, [&] {
    auto it = trees.find(record.tree_id);
    return it == trees.end() || it->second.get() != &record;
  });
}

namespace details {

std::string inherited_message() {
  return "此线程引擎是在 fork 之前创建的, 它的工作线程不在当前进程中";
}

std::string inherited_command_message(const std::string& tree_id, const std::string& type) {
  return "行为树 " + tree_id + " 执行命令 " + type +
         " 失败: 工作线程不在当前进程中 (线程引擎是在 fork 之前创建的)";
}

std::string cycle_text(const std::string& cycle) { return "会形成循环等待 " + cycle; }

}  // namespace details

namespace {

[[noreturn]] void fail_logged(const std::string& message, bool value_error) {
  log::error(message);
  if (value_error) throw ValueError(message);
  throw RuntimeError(message);
}

// An engine inherited by a forked child is kept, reachable, for the rest of the process: its
// mutexes may have been held at the fork, and its condition variables may have had waiters, by
// threads that exist only in the parent; destroying a condition variable waits for its waiters.
void keep_inherited(std::shared_ptr<void> state) {
  struct Kept {
    std::shared_ptr<void> state;
    Kept* next;
  };
  static std::atomic<Kept*> kept{nullptr};
  auto* entry = new Kept{std::move(state), kept.load()};
  while (!kept.compare_exchange_weak(entry->next, entry)) {
  }
}

}  // namespace

ThreadEngine::ThreadEngine() : ThreadEngine(Options{}) {}

ThreadEngine::ThreadEngine(Options options)
    : factory_(), state_(std::make_shared<State>(std::move(options))) {
  log::info("初始化线程引擎");
}

ThreadEngine::~ThreadEngine() {
  if (state_->inherited()) {
    keep_inherited(std::move(state_));
    return;
  }
  try {
    {
      std::lock_guard lock(state_->mutex);
      state_->closed = true;
    }
    stop_every_tree(*state_, StopMode::kDestructor);
  } catch (...) {
    // A destructor passes nothing on; what could be stopped has been.
  }
}

void ThreadEngine::register_action_behavior(const std::string& action_id,
                                            core::TickFunctor tick_functor,
                                            core::PortsList ports_list) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message());
  if (auto problem = core::action_registration_problem(action_id, ports_list)) {
    throw ValueError(*problem);
  }
  log::info("注册动作节点: " + action_id);
  std::lock_guard lock(state_->mutex);
  state_->registrations.emplace_back(action_id, std::move(tick_functor), std::move(ports_list));
}

void ThreadEngine::register_action_class(const ActionClass& action_class,
                                         std::optional<std::string> action_id) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message());
  if (!action_class.derives_from_simple_action_node) {
    std::string message = "节点类 " + action_class.name + " 必须继承自SimpleActionNode";
    log::error(message);
    throw TypeError(message);
  }
  std::string id = action_id ? std::move(*action_id) : action_class.name;
  if (!action_class.tick) {
    throw AttributeError("type object '" + action_class.name + "' has no attribute 'tick'");
  }
  register_action_behavior(id, *action_class.tick, action_class.ports.value_or(core::PortsList{}));
}

std::vector<ActionRegistration> ThreadEngine::action_registrations() const {
  if (state_->inherited()) throw RuntimeError(details::inherited_message());
  std::lock_guard lock(state_->mutex);
  return state_->registrations;
}

std::string ThreadEngine::create_tree_from_text(const std::string& xml_text,
                                                std::optional<std::string> tree_id) {
  return create_tree(core::TreeSource::from_text(xml_text), std::move(tree_id));
}

std::string ThreadEngine::create_tree(core::TreeSource source, std::optional<std::string> tree_id) {
  std::shared_ptr<State> state = state_;
  if (state->inherited()) throw RuntimeError(details::inherited_message());
  auto record = std::make_shared<TreeRecord>(state->spin_time);
  // Held until the thread is stored, so a command or stop that finds the new tree queues until
  // the tree is complete. Taken before the engine mutex, as everywhere.
  std::unique_lock creating(record->caller_mutex);
  std::optional<std::string> refusal;
  bool duplicate = false;
  for (;;) {
    std::shared_ptr<TreeRecord> stopping;
    {
      std::lock_guard lock(state->mutex);
      if (state->closed) throw RuntimeError("线程引擎正在销毁, 不能再创建行为树");
      record->tree_id = tree_id ? *tree_id : state->generated_id();
      auto it = state->trees.find(record->tree_id);
      if (it == state->trees.end()) {
        record->sequence = state->next_sequence++;
        state->trees.emplace(record->tree_id, record);
        state->order.emplace(record->sequence, record);
        ++state->listed;
        break;
      }
      if (!it->second->stopping) {
        duplicate = true;
        break;
      }
      stopping = it->second;  // only a given id gets here: a generated one is always free
    }
    // The id's tree is being stopped: the id is free once that stop has ended its worker.
    details::WaitFor wait(stopping.get(), stopping->tree_id);
    if (wait.cycle()) {
      refusal = "创建行为树 " + record->tree_id + " 失败: " + details::cycle_text(*wait.cycle());
      break;
    }
    state->wait_withdrawn(*stopping);
  }
  if (duplicate || refusal) {
    creating.unlock();
    fail_logged(refusal ? *refusal : "行为树ID " + record->tree_id + " 已存在", duplicate);
  }

  try {
    auto start = state->options.start_thread
                     ? state->options.start_thread
                     : [](std::function<void()> body) { return std::thread(std::move(body)); };
    std::thread thread = start([state, record, source = std::move(source)]() mutable {
      _run_tree(std::move(state), std::move(record), std::move(source));
    });
    if (!thread.joinable()) {
      throw RuntimeError("行为树 " + record->tree_id + " 的工作线程未能启动");
    }
    record->thread = std::move(thread);
  } catch (...) {
    state->withdraw(*record);
    throw;
  }
  creating.unlock();
  log::info("创建行为树: " + record->tree_id);
  return record->tree_id;
}

std::string ThreadEngine::create_tree_from_file(const std::string& file_path,
                                                std::optional<std::string> tree_id) {
  return create_tree(core::TreeSource::from_file(file_path), std::move(tree_id));
}

std::vector<std::string> ThreadEngine::get_tree_ids() const {
  if (state_->inherited()) throw RuntimeError(details::inherited_message());
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> ids;
  ids.reserve(state_->listed);
  for (const auto& entry : state_->order) {
    if (!entry.second->stopping) ids.push_back(entry.second->tree_id);
  }
  return ids;
}

enum class ThreadEngine::StopOutcome {
  kStopped,           // stopped by this call: its line is to be logged
  kStoppedElsewhere,  // gone, or stopped by another thread (the wait for it, if any, is over)
  kOwnThread,         // refused: the call comes from the tree's own worker
  kCycle,             // refused: the wait would close a cycle of waiting trees
};

ThreadEngine::StopOutcome ThreadEngine::stop_one(State& state,
                                                 const std::shared_ptr<TreeRecord>& record,
                                                 StopMode mode, std::string& cycle) {
  TreeRecord& tree = *record;
  const bool own = tree.worker_id.load() == std::this_thread::get_id();
  // Nothing is recorded as waited for from the tree's own worker: it never waits for itself.
  std::optional<details::WaitFor> wait;
  if (!own) wait.emplace(record.get(), tree.tree_id);
  const bool closes_cycle = wait && wait->cycle();
  if (closes_cycle) cycle = *wait->cycle();

  for (;;) {
    switch (state.inspect(tree)) {
      case State::Claim::kGone:
        return StopOutcome::kStoppedElsewhere;
      case State::Claim::kStoppingElsewhere:
        // Another thread's stop: it counts as stopped. Stopping several trees waits for it to
        // end, unless it waits for us (our own tree, or a tree whose tick waits for ours): then
        // it ends after we have returned.
        if (mode != StopMode::kOne && !own && !closes_cycle) state.wait_withdrawn(tree);
        return StopOutcome::kStoppedElsewhere;
      case State::Claim::kClaimed:
        break;
    }
    if ((own || closes_cycle) && mode != StopMode::kDestructor) {
      return own ? StopOutcome::kOwnThread : StopOutcome::kCycle;
    }
    if (state.claim(tree) != State::Claim::kClaimed) continue;  // changed meanwhile: look again
    break;
  }

  tree.stop_source.request_stop();  // a tick loop in progress ends
  if (own || closes_cycle) {
    // The engine is destroyed inside this tree's tick, or inside a tick this tree waits for: its
    // command in progress cannot be waited for here. The worker leaves after it, on its own, and
    // nothing could join it, so it is detached (it only finishes that command and returns).
    {
      std::lock_guard lock(tree.mutex);
      tree.abandoned = true;
    }
    tree.cond.notify_all();
    if (tree.thread.joinable()) tree.thread.detach();
  } else {
    {
      std::lock_guard caller(tree.caller_mutex);  // waits for the command in progress
      // A creation whose thread could not start has withdrawn the tree meanwhile.
      if (!tree.thread.joinable()) return StopOutcome::kStoppedElsewhere;
      {
        std::lock_guard lock(tree.mutex);
        tree.command = StopMarker{};
        tree.command_ready.store(true, std::memory_order_release);
      }
      tree.cond.notify_one();
    }
    tree.thread.join();
  }
  state.withdraw(tree);
  return StopOutcome::kStopped;
}

void ThreadEngine::stop_tree(const std::string& tree_id) {
  std::shared_ptr<State> state = state_;
  if (state->inherited()) return;
  std::shared_ptr<TreeRecord> record = find_tree(*state, tree_id);
  std::string cycle;
  switch (stop_one(*state, record, StopMode::kOne, cycle)) {
    case StopOutcome::kStopped:
      log::info("停止行为树: " + tree_id);
      return;
    case StopOutcome::kStoppedElsewhere:
      fail_logged("行为树ID " + tree_id + " 不存在", true);
    case StopOutcome::kOwnThread:
      fail_logged(details::own_thread_message(tree_id), false);
    case StopOutcome::kCycle:
      fail_logged("停止行为树 " + tree_id + " 失败: " + details::cycle_text(cycle), false);
  }
}

void ThreadEngine::stop_all_trees() {
  std::shared_ptr<State> state = state_;
  if (state->inherited()) return;
  stop_every_tree(*state, StopMode::kAll);
}

void ThreadEngine::stop_every_tree(State& state, StopMode mode) {
  const auto records = state.snapshot();
  if (mode == StopMode::kDestructor) {
    // Every tree will be stopped: all tick loops may end at once rather than one by one.
    for (const auto& record : records) record->stop_source.request_stop();
  }
  for (const auto& record : records) {
    std::string cycle;
    StopOutcome outcome = StopOutcome::kStoppedElsewhere;
    try {
      outcome = stop_one(state, record, mode, cycle);
    } catch (const std::exception& e) {
      if (mode != StopMode::kDestructor) throw;
      log::error(e.what());  // the others are still stopped
      continue;
    }
    switch (outcome) {
      case StopOutcome::kStopped:
        log::info("停止行为树: " + record->tree_id);
        break;
      case StopOutcome::kStoppedElsewhere:
        break;
      case StopOutcome::kOwnThread:
        fail_logged(details::own_thread_message(record->tree_id), false);
      case StopOutcome::kCycle:
        fail_logged("停止行为树 " + record->tree_id + " 失败: " + details::cycle_text(cycle),
                    false);
    }
  }
  log::info("停止所有行为树");
}

}  // namespace kelmora::engine::trigger
