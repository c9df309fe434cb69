// ThreadEngine: construction, action registration, tree creation, stopping and destruction.
// The command channel is in channel.cpp, the worker in worker.cpp.

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <utility>

#include "engine_state.hpp"
#include "tree_file.hpp"

namespace kelmora::engine::trigger {

namespace details {

std::string short_type_name(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  const std::string full = (status == 0 && demangled) ? demangled.get() : mangled;
  // The name after the last "::" outside template arguments and parameter lists, so that
  // "ns::Outer<ns::X>" gives "Outer<ns::X>" and "f()::Local" gives "Local".
  std::size_t start = 0;
  int depth = 0;
  for (std::size_t i = 0; i + 1 < full.size(); ++i) {
    const char c = full[i];
    if (c == '<' || c == '(') {
      ++depth;
    } else if ((c == '>' || c == ')') && depth > 0) {
      --depth;
    } else if (depth == 0 && c == ':' && full[i + 1] == ':') {
      start = i + 2;
      ++i;
    }
  }
  return full.substr(start);
}

}  // namespace details

ThreadEngine::TreeRecord::~TreeRecord() {
  if (thread.joinable()) thread.detach();
}

ThreadEngine::State::State(Options opts)
    : options(std::move(opts)),
      spin_time(std::thread::hardware_concurrency() > 1 ? options.spin_time
                                                        : std::chrono::nanoseconds::zero()) {}

void ThreadEngine::State::withdraw(const TreeRecord& record) {
  std::lock_guard lock(mutex);
  auto it = trees.find(record.tree_id);
  if (it != trees.end() && it->second.get() == &record) trees.erase(it);
  order.erase(record.sequence);
}

ThreadEngine::ThreadEngine() : ThreadEngine(Options{}) {}

ThreadEngine::ThreadEngine(Options options)
    : factory_(), state_(std::make_shared<State>(std::move(options))) {
  log::info("初始化线程引擎");
}

ThreadEngine::~ThreadEngine() {
  try {
    stop_trees(*state_, get_tree_ids(), StopMode::kDestructor);
    log::info("停止所有行为树");
  } catch (...) {
    // A destructor passes nothing on; what could be stopped has been.
  }
}

void ThreadEngine::register_action_behavior(const std::string& action_id,
                                            core::TickFunctor tick_functor,
                                            core::PortsList ports_list) {
  log::info("注册动作节点: " + action_id);
  std::lock_guard lock(state_->mutex);
  state_->registrations.emplace_back(action_id, std::move(tick_functor), std::move(ports_list));
}

void ThreadEngine::register_action_class(const ActionClass& action_class,
                                         std::optional<std::string> action_id) {
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
  std::lock_guard lock(state_->mutex);
  return state_->registrations;
}

std::string ThreadEngine::create_tree_from_text(const std::string& xml_text,
                                                std::optional<std::string> tree_id) {
  return create_tree(xml_text, std::nullopt, std::move(tree_id));
}

std::string ThreadEngine::create_tree(const std::string& xml_text,
                                      std::optional<std::string> file_path,
                                      std::optional<std::string> tree_id) {
  std::shared_ptr<State> state = state_;
  auto record = std::make_shared<TreeRecord>(state->spin_time);
  // Held until the thread is stored, so a command or stop that finds the new tree queues until
  // the tree is complete. Taken before the engine mutex, as everywhere.
  std::unique_lock creating(record->caller_mutex);
  bool duplicate = false;
  {
    std::lock_guard lock(state->mutex);
    record->tree_id = tree_id ? std::move(*tree_id) : "tree_" + std::to_string(state->trees.size());
    duplicate = state->trees.contains(record->tree_id);
    if (!duplicate) {
      record->sequence = state->next_sequence++;
      state->trees.emplace(record->tree_id, record);
      state->order.emplace(record->sequence, record->tree_id);
    }
  }
  if (duplicate) {
    std::string message = "行为树ID " + record->tree_id + " 已存在";
    log::error(message);
    throw ValueError(message);
  }

  try {
    auto start = state->options.start_thread
                     ? state->options.start_thread
                     : [](std::function<void()> body) { return std::thread(std::move(body)); };
    std::thread thread = start([state, record, xml_text, file_path]() mutable {
      _run_tree(std::move(state), std::move(record), std::move(xml_text), std::move(file_path));
    });
    if (!thread.joinable()) {
      throw RuntimeError("行为树 " + record->tree_id + " 的工作线程未能启动");
    }
    record->thread = std::move(thread);
  } catch (...) {
    state->withdraw(*record);
    record->removed = true;
    throw;
  }
  log::info("创建行为树: " + record->tree_id);
  return record->tree_id;
}

std::string ThreadEngine::create_tree_from_file(const std::string& file_path,
                                                std::optional<std::string> tree_id) {
  return create_tree(details::read_tree_file(file_path), file_path, std::move(tree_id));
}

std::vector<std::string> ThreadEngine::get_tree_ids() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> ids;
  ids.reserve(state_->order.size());
  for (const auto& entry : state_->order) ids.push_back(entry.second);
  return ids;
}

void ThreadEngine::stop_tree(const std::string& tree_id) {
  std::shared_ptr<State> state = state_;
  stop_trees(*state, {tree_id}, StopMode::kCaller);
}

void ThreadEngine::stop_all_trees() {
  std::shared_ptr<State> state = state_;
  stop_trees(*state, get_tree_ids(), StopMode::kCaller);
  log::info("停止所有行为树");
}

namespace {

// In the destructor an error on one tree is logged and the others are still stopped.
void log_destructor_error(const std::string& tree_id, std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::exception& e) {
    log::error(e.what());
  } catch (...) {
    log::error("停止行为树 " + tree_id + " 时发生未知错误");
  }
}

}  // namespace

void ThreadEngine::stop_trees(State& state, const std::vector<std::string>& tree_ids,
                              StopMode mode) {
  std::vector<std::shared_ptr<TreeRecord>> signalled;
  signalled.reserve(tree_ids.size());
  std::optional<StopRefusal> refusal;
  for (const auto& id : tree_ids) {
    auto outcome = signal_stop(state, id, mode);
    if (auto* record = std::get_if<std::shared_ptr<TreeRecord>>(&outcome)) {
      signalled.push_back(std::move(*record));
    } else if (mode == StopMode::kCaller) {
      // The trees before this one are stopped, the ones after it are left running.
      refusal = std::get<StopRefusal>(std::move(outcome));
      break;
    }
    // In the destructor a tree that vanished meanwhile is simply not there to stop.
  }
  std::exception_ptr first_error;
  for (const auto& record : signalled) {
    try {
      finish_stop(state, *record);
    } catch (...) {
      if (mode == StopMode::kDestructor) {
        log_destructor_error(record->tree_id, std::current_exception());
      } else if (!first_error) {
        first_error = std::current_exception();
      }
    }
  }
  if (first_error) std::rethrow_exception(first_error);
  if (refusal) {
    log::error(refusal->message);
    if (refusal->missing) throw ValueError(refusal->message);
    throw RuntimeError(refusal->message);
  }
}

std::variant<std::shared_ptr<ThreadEngine::TreeRecord>, ThreadEngine::StopRefusal>
ThreadEngine::signal_stop(State& state, const std::string& tree_id, StopMode mode) {
  std::shared_ptr<TreeRecord> stale;
  for (;;) {
    std::shared_ptr<TreeRecord> record = lookup_tree(state, tree_id, stale.get());
    if (!record) return StopRefusal{true, "行为树ID " + tree_id + " 不存在"};
    if (record->worker_id.load() == std::this_thread::get_id()) {
      if (mode == StopMode::kCaller)
        return StopRefusal{false, details::own_thread_message(tree_id)};
      // The engine is destroyed from this tree's own tick: the command in progress cannot be
      // waited for here. The worker leaves after it, on its own; nothing will join it.
      if (record->removed.exchange(true)) {  // another stop took it meanwhile
        stale = std::move(record);
        continue;
      }
      record->abandoned = true;
      record->stop_source.request_stop();
      return record;
    }

    // Before queueing: a tick loop in progress ends, so the wait below is short.
    record->stop_source.request_stop();
    std::lock_guard caller(record->caller_mutex);
    if (record->removed) {  // another stop took it while we queued
      stale = std::move(record);
      continue;
    }
    {
      std::lock_guard lock(record->mutex);
      record->command = StopMarker{};
      record->command_ready.store(true, std::memory_order_release);
    }
    record->cond.notify_one();
    record->removed = true;  // from here on the tree is gone for its callers
    return record;
  }
}

void ThreadEngine::finish_stop(State& state, TreeRecord& record) {
  // Only the stop that set `removed` gets here, so it alone touches the thread.
  if (!record.abandoned) record.thread.join();
  state.withdraw(record);
  log::info("停止行为树: " + record.tree_id);
}

}  // namespace kelmora::engine::trigger
