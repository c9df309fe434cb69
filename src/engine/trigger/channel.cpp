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

std::shared_ptr<ThreadEngine::TreeRecord> ThreadEngine::lookup_tree(const State& state,
                                                                    const std::string& tree_id,
                                                                    const TreeRecord* stale) {
  std::lock_guard lock(state.mutex);
  auto it = state.trees.find(tree_id);
  if (it != state.trees.end() && it->second.get() != stale) return it->second;
  return nullptr;
}

std::shared_ptr<ThreadEngine::TreeRecord> ThreadEngine::find_tree(const State& state,
                                                                  const std::string& tree_id,
                                                                  const TreeRecord* stale) {
  if (auto record = lookup_tree(state, tree_id, stale)) return record;
  std::string message = "行为树ID " + tree_id + " 不存在";
  log::error(message);
  throw ValueError(message);
}

void ThreadEngine::_check_tree_exists(const std::string& tree_id) const {
  std::shared_ptr<State> state = state_;
  find_tree(*state, tree_id);
}

std::any ThreadEngine::_send_command(const std::string& tree_id, const std::string& command_type,
                                     std::optional<core::AnyMap> params) {
  std::shared_ptr<State> state = state_;
  std::shared_ptr<TreeRecord> stale;
  for (;;) {
    std::shared_ptr<TreeRecord> record = find_tree(*state, tree_id, stale.get());
    TreeRecord& tree = *record;
    if (tree.worker_id.load() == std::this_thread::get_id()) {
      fail_logged_runtime(details::own_thread_message(tree_id));
    }

    std::lock_guard caller(tree.caller_mutex);
    if (tree.removed) {
      // Stopped while we queued: as if we had called after the stop (a tree created since
      // under the same id serves us).
      stale = std::move(record);
      continue;
    }

    bool worker_awake = false;
    {
      std::lock_guard lock(tree.mutex);
      worker_awake = !tree.worker_sleeping.load(std::memory_order_relaxed);
      if (tree.worker_ended && !tree.result) {
        fail_logged_runtime("行为树 " + tree_id + " 执行命令 " + command_type +
                            " 失败: 工作线程已结束");
      }
      if (!tree.worker_ended) {
        // Nobody would read the slot of an ended worker; its error record is taken below.
        tree.command = CommandRecord{
            command_type, (params && !params->empty()) ? std::move(*params) : core::AnyMap{}};
        tree.command_ready.store(true, std::memory_order_release);
      }
    }
    tree.cond.notify_one();

    // An awake worker is running right now, so its result is likely to come within the spin.
    if (worker_awake) details::spin_until_set(tree.result_ready, state->spin_time);
    ResultRecord result;
    {
      std::unique_lock lock(tree.mutex);
      tree.cond.wait(lock, [&] { return tree.result.has_value() || tree.worker_ended; });
      if (!tree.result) {
        lock.unlock();
        fail_logged_runtime("行为树 " + tree_id + " 执行命令 " + command_type +
                            " 失败: 工作线程已结束");
      }
      result = std::move(*tree.result);
      tree.result.reset();
      tree.result_ready.store(false, std::memory_order_relaxed);
    }
    if (result.result_type == "error") {
      fail_logged_runtime("行为树 " + tree_id + " 执行命令 " + command_type +
                          " 失败: " + core::any_to_text(result.result_value));
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
