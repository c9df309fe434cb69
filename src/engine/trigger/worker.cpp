// ThreadEngine: the worker routine of a tree, and command processing on the worker's engine.

#include <array>
#include <exception>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <optional>
#include <string_view>
#include <utility>

#include "engine_state.hpp"
#include "waits.hpp"

namespace kelmora::engine::trigger {

namespace details {
namespace {

using Handler = std::any (*)(WorkerEngine&, const core::AnyMap&);

// The parameter under `key`, or `fallback` when the map has none.
std::any param(const core::AnyMap& params, const std::string& key, std::any fallback = {}) {
  auto it = params.find(key);
  return it == params.end() ? std::move(fallback) : it->second;
}

// The command types, in the order they are compared, with the engine call each makes and the
// result value it stores.
constexpr std::array<std::pair<std::string_view, Handler>, 9> kCommands{{
    {"tick_once", [](WorkerEngine& e, const core::AnyMap&) { return e.tick_once(); }},
    {"tick_until_failure",
     [](WorkerEngine& e, const core::AnyMap&) { return e.tick_until_failure(); }},
    {"tick_until_success",
     [](WorkerEngine& e, const core::AnyMap&) { return e.tick_until_success(); }},
    {"tick_n_times",
     [](WorkerEngine& e, const core::AnyMap& p) {
       return e.tick_n_times(param(p, "n", std::int64_t{1}));
     }},
    {"get_status", [](WorkerEngine& e, const core::AnyMap&) { return e.get_tree_status(); }},
    {"get_blackboard_data",
     [](WorkerEngine& e, const core::AnyMap& p) { return e.get_blackboard_data(param(p, "key")); }},
    {"set_blackboard_data",
     [](WorkerEngine& e, const core::AnyMap& p) {
       std::any key = param(p, "key");
       e.set_blackboard_data(key, param(p, "value"));
       return std::any{};
     }},
    {"get_all_blackboard_data",
     [](WorkerEngine& e, const core::AnyMap&) { return e.get_all_blackboard_data(); }},
    {"reset",
     [](WorkerEngine& e, const core::AnyMap&) {
       e.reset_tree();
       return std::any{};
     }},
}};

std::string error_text(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

std::optional<std::string> process_command(WorkerEngine& engine, const CommandRecord& command,
                                           const std::string& tree_id,
                                           std::optional<ResultRecord>& result) {
  const std::string type_text = command.type.value_or("None");
  static const core::AnyMap kNoParams;
  const core::AnyMap& params = command.params ? *command.params : kNoParams;
  try {
    if (command.type) {
      for (const auto& [name, handler] : kCommands) {
        if (name == *command.type) {
          std::any value = handler(engine, params);
          result = ResultRecord{std::string(name), tree_id, std::move(value)};
          return std::nullopt;
        }
      }
    }
    std::string message = "未知命令类型: " + type_text;
    result = ResultRecord{"error", tree_id, message};
    return message;
  } catch (...) {
    std::string message =
        "处理命令 " + type_text + " 时发生错误: " + error_text(std::current_exception());
    result = ResultRecord{"error", tree_id, message};
    return message;
  }
}

}  // namespace details

void ThreadEngine::_process_command(WorkerEngine& engine, const CommandRecord& command,
                                    const std::string& tree_id,
                                    std::optional<ResultRecord>& result) {
  if (auto line = details::process_command(engine, command, tree_id, result)) log::error(*line);
}

namespace {

// Makes the worker's engine, teaches it the registrations and builds the tree.
template <class MakeEngine>
std::unique_ptr<WorkerEngine> start_engine(const MakeEngine& make_engine,
                                           const std::vector<ActionRegistration>& registrations,
                                           const core::TreeSource& source,
                                           std::stop_token token) {
  std::unique_ptr<WorkerEngine> engine =
      make_engine ? make_engine() : make_sequential_worker_engine();
  if (!engine) throw RuntimeError("the worker engine factory returned no engine");
  engine->set_stop_token(std::move(token));
  for (const auto& [action_id, tick_functor, ports_list] : registrations) {
    engine->register_action_behavior(action_id, tick_functor, ports_list);
  }
  engine->create_tree(source);
  return engine;
}

}  // namespace

void ThreadEngine::_run_tree(std::shared_ptr<State> state, std::shared_ptr<TreeRecord> record,
                             core::TreeSource source) noexcept {
  TreeRecord& tree = *record;
  // Recorded for as long as the routine runs, so that a later thread given the same id is not
  // taken for this worker.
  struct WorkerId {
    explicit WorkerId(TreeRecord& t) : tree(t) { tree.worker_id.store(std::this_thread::get_id()); }
    ~WorkerId() { tree.worker_id.store(std::thread::id{}); }
    TreeRecord& tree;
  } worker_id(tree);
  details::WorkerScope worker(&tree, &tree.tree_id);
  try {
    std::vector<ActionRegistration> registrations;
    {
      std::lock_guard lock(state->mutex);
      registrations = state->registrations;
    }
    std::unique_ptr<WorkerEngine> engine =
        start_engine(state->options.make_engine, registrations, source,
                     tree.stop_source.get_token());
    registrations.clear();
    state.reset();  // the worker needs nothing more of the engine

    for (;;) {
      tree.worker_spin.wait(tree.command_ready);
      CommandRecord command;
      {
        std::unique_lock lock(tree.mutex);
        while (std::holds_alternative<std::monostate>(tree.command) && !tree.abandoned) {
          tree.worker_sleeping.store(true, std::memory_order_relaxed);
          tree.cond.wait(lock);
        }
        tree.worker_sleeping.store(false, std::memory_order_relaxed);
        if (std::holds_alternative<StopMarker>(tree.command)) return;
        if (std::holds_alternative<std::monostate>(tree.command)) {
          // Abandoned and nothing left to serve: a caller that comes later finds the end.
          tree.worker_ended = true;
          lock.unlock();
          tree.cond.notify_all();
          return;
        }
        command = std::move(std::get<CommandRecord>(tree.command));
        tree.command = std::monostate{};
        tree.command_ready.store(false, std::memory_order_relaxed);
      }
      // Processed without the tree's lock: the caller waits for the result (its caller_mutex
      // keeps every other user away), and nothing else reads the slots meanwhile.
      std::optional<ResultRecord> result;
      std::optional<std::string> line =
          details::process_command(*engine, command, tree.tree_id, result);
      {
        std::lock_guard lock(tree.mutex);
        tree.result = std::move(result);
        tree.worker_line = std::move(line);
        tree.result_ready.store(true, std::memory_order_release);
      }
      tree.cond.notify_one();
    }
  } catch (...) {
    try {
      std::string message = "行为树线程 " + tree.tree_id +
                            " 发生错误: " + details::error_text(std::current_exception());
      tree.failure = message;  // what a log handler commanding this tree from here gets
      log::error(message);
      {
        std::lock_guard lock(tree.mutex);
        tree.result = ResultRecord{"error", tree.tree_id, std::move(message)};
        tree.worker_ended = true;
        tree.result_ready.store(true, std::memory_order_release);
      }
      tree.cond.notify_one();
    } catch (...) {
      // Out of memory while reporting: mark the end so no caller waits for this worker.
      std::lock_guard lock(tree.mutex);
      tree.worker_ended = true;
      tree.cond.notify_one();
    }
  }
}

}  // namespace kelmora::engine::trigger
