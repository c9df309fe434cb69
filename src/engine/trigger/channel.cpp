// ThreadEngine: the caller side of a tree's command channel, and the typed tree operations.
//
// One round trip: the caller, holding the tree's caller_mutex, writes the command record under
// the tree's lock and notifies once; the worker processes it under that lock, writes the result
// record, clears the command slot and notifies once; the caller takes the result. Both sides
// spin briefly on a lock-free hint before they sleep, so a short command costs no sleep at all.

#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <utility>

#include "any_values.hpp"
#include "engine_state.hpp"
#include "spin.hpp"
#include "waits.hpp"

namespace kelmora::engine::trigger {

namespace details {

std::string own_thread_message(const std::string& tree_id) {
  return "行为树 " + tree_id + " 的命令不能在它自己的工作线程中调用";
}

}  // namespace details

namespace {

[[noreturn]] void fail_logged_runtime(const std::string& message) {
  log::error(message);
  throw RuntimeError(message);
}

}  // namespace

std::shared_ptr<ThreadEngine::TreeRecord> ThreadEngine::find_tree(const State& state,
                                                                  const std::string& tree_id) {
  if (auto record = state.lookup(tree_id)) return record;
  std::string message = "行为树ID " + tree_id + " 不存在";
  log::error(message);
  throw ValueError(message);
}

void ThreadEngine::_check_tree_exists(const std::string& tree_id) const {
  std::shared_ptr<State> state = state_;
  if (state->inherited()) throw RuntimeError(details::inherited_message());
  find_tree(*state, tree_id);
}

std::any ThreadEngine::_send_command(const std::string& tree_id, const std::string& command_type,
                                     std::optional<core::AnyMap> params) {
  std::shared_ptr<State> state = state_;
  if (state->inherited())
    throw RuntimeError(details::inherited_command_message(tree_id, command_type));
  const std::string failed = "行为树 " + tree_id + " 执行命令 " + command_type + " 失败: ";
  for (;;) {
    std::shared_ptr<TreeRecord> record = find_tree(*state, tree_id);
    TreeRecord& tree = *record;
    if (tree.worker_id.load() == std::this_thread::get_id()) {
      // From a log handler on the worker's error path the tree's answer is its failure, at once;
      // from its ticks, a refusal.
      if (tree.failure) fail_logged_runtime(failed + *tree.failure);
      fail_logged_runtime(details::own_thread_message(tree_id));
    }

    // The round trip, with no log line written until it is over and every lock released.
    std::optional<std::string> refusal;
    ResultRecord result;
    std::optional<std::string> worker_line;
    {
      details::WaitFor wait(record.get(), tree.tree_id);
      if (wait.cycle()) {
        refusal = failed + details::cycle_text(*wait.cycle());
      } else {
        std::unique_lock caller(tree.caller_mutex);
        // Stopped while we queued: as if we had called after the stop (a tree created since
        // under the same id serves us).
        if (tree.stopping) continue;

        bool worker_awake = false;
        bool sent = false;
        {
          std::lock_guard lock(tree.mutex);
          worker_awake = !tree.worker_sleeping.load(std::memory_order_relaxed);
          if (!tree.worker_ended) {
            tree.command = CommandRecord{
                command_type, (params && !params->empty()) ? std::move(*params) : core::AnyMap{}};
            tree.command_ready.store(true, std::memory_order_release);
            sent = true;
          }
          // An ended worker reads no command; its error record, if still there, is taken below.
        }
        if (sent) tree.cond.notify_one();

        // An awake worker is running right now, so its result is likely to come within the spin.
        if (sent && worker_awake) details::spin_until_set(tree.result_ready, state->spin_time);
        std::unique_lock lock(tree.mutex);
        tree.cond.wait(lock, [&] { return tree.result.has_value() || tree.worker_ended; });
        if (tree.result) {
          result = std::move(*tree.result);
          tree.result.reset();
          worker_line = std::move(tree.worker_line);
          tree.worker_line.reset();
          tree.result_ready.store(false, std::memory_order_relaxed);
        } else {
          refusal = failed + "工作线程已结束";
        }
      }
    }
    if (refusal) fail_logged_runtime(*refusal);
    if (worker_line) log::error(*worker_line);
    if (result.result_type == "error") {
      fail_logged_runtime(failed + core::any_to_text(result.result_value));
    }
    return std::move(result.result_value);
  }
}

namespace {

// The result of an operation that returns an integer: an integer or none, else the TypeError.
std::optional<std::int64_t> expect_int(const std::any& value) {
  if (!value.has_value()) return std::nullopt;
  if (auto i = details::any_integer(value)) return i;
  throw details::kind_error("int", value);
}

std::optional<std::vector<core::NodeStatus>> expect_status_list(std::any& value) {
  if (!value.has_value()) return std::nullopt;
  if (auto* list = std::any_cast<std::vector<core::NodeStatus>>(&value)) return std::move(*list);
  if (auto* items = std::any_cast<std::vector<std::any>>(&value)) {
    std::vector<core::NodeStatus> statuses;
    for (const auto& item : *items) {
      const auto* status = std::any_cast<core::NodeStatus>(&item);
      if (!status) throw details::kind_error("list of NodeStatus", item);
      statuses.push_back(*status);
    }
    return statuses;
  }
  throw details::kind_error("list", value);
}

std::optional<core::AnyMap> expect_dict(std::any& value) {
  if (!value.has_value()) return std::nullopt;
  if (auto* map = std::any_cast<core::AnyMap>(&value)) return std::move(*map);
  throw details::kind_error("dict", value);
}

}  // namespace

core::NodeStatus ThreadEngine::tick_once(const std::string& tree_id) {
  std::any value = _send_command(tree_id, "tick_once");
  if (const auto* status = std::any_cast<core::NodeStatus>(&value)) return *status;
  throw details::kind_error("NodeStatus", value);
}

std::optional<std::int64_t> ThreadEngine::tick_until_failure(const std::string& tree_id) {
  return expect_int(_send_command(tree_id, "tick_until_failure"));
}

std::optional<std::int64_t> ThreadEngine::tick_until_success(const std::string& tree_id) {
  return expect_int(_send_command(tree_id, "tick_until_success"));
}

std::optional<std::vector<core::NodeStatus>> ThreadEngine::tick_n_times(const std::string& tree_id,
                                                                        std::int64_t n) {
  std::any value = _send_command(tree_id, "tick_n_times", core::AnyMap{{"n", n}});
  return expect_status_list(value);
}

std::optional<core::AnyMap> ThreadEngine::get_tree_status(const std::string& tree_id) {
  std::any value = _send_command(tree_id, "get_status");
  return expect_dict(value);
}

std::any ThreadEngine::get_blackboard_data(const std::string& tree_id, const std::string& key) {
  return _send_command(tree_id, "get_blackboard_data", core::AnyMap{{"key", key}});
}

void ThreadEngine::set_blackboard_data(const std::string& tree_id, const std::string& key,
                                       std::any value) {
  _send_command(tree_id, "set_blackboard_data",
                core::AnyMap{{"key", key}, {"value", std::move(value)}});
}

std::optional<core::AnyMap> ThreadEngine::get_all_blackboard_data(const std::string& tree_id) {
  std::any value = _send_command(tree_id, "get_all_blackboard_data");
  return expect_dict(value);
}

void ThreadEngine::reset_tree(const std::string& tree_id) { _send_command(tree_id, "reset"); }

}  // namespace kelmora::engine::trigger
