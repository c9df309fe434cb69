// ThreadEngine: tree creation, the list of trees, stopping and destruction.

#include <atomic>
#include <exception>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <optional>
#include <utility>

#include "engine_state.hpp"
#include "reaper.hpp"
#include "waits.hpp"

namespace kelmora::engine::trigger {

using details::EngineState;
using details::TreeRecord;

namespace {

[[noreturn]] void fail_logged_value(const std::string& message) {
  log::error(message);
  throw ValueError(message);
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

// Creation for both create_tree_from_text and create_tree_from_file.
std::string create_tree(const std::shared_ptr<EngineState>& state, core::TreeSource source,
                        std::optional<std::string> tree_id) {
  if (state->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  auto record = std::make_shared<TreeRecord>(std::move(source), state->spin_time);
  record->engine = state;
  std::optional<std::string> cycle;
  bool duplicate = false;
  for (;;) {
    std::shared_ptr<TreeRecord> stopping;
    {
      std::lock_guard lock(state->mutex);
      if (state->closed) {
        throw RuntimeError("线程引擎正在销毁, 不能再创建行为树", Errc::engine_closing);
      }
      record->tree_id = tree_id ? *tree_id : state->generated_id();
      auto it = state->trees.find(record->tree_id);
      if (it == state->trees.end()) {
        state->enter(record);
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
      cycle = *wait.cycle();
      break;
    }
    state->wait_withdrawn(*stopping);
  }
  if (duplicate) fail_logged_value("行为树ID " + record->tree_id + " 已存在");
  if (cycle) {
    details::fail_logged(
        RuntimeError("创建行为树 " + record->tree_id + " 失败: " + details::cycle_text(*cycle),
                     Errc::wait_cycle));
  }

  // From here the tree is listed and commands may be sent to it: they wait in its mailbox until
  // the worker serves, or get kClosed if the worker cannot be started (the tree is then withdrawn
  // first, so they find it gone).
  std::thread thread;
  try {
    std::function<void()> body = [state, record]() mutable {
      details::run_worker(std::move(state), std::move(record));
    };
    thread =
        state->start_thread ? state->start_thread(std::move(body)) : std::thread(std::move(body));
    if (!thread.joinable()) {
      throw RuntimeError("行为树 " + record->tree_id + " 的工作线程未能启动");
    }
  } catch (...) {
    state->settle_start(*record, std::thread());
    record->mailbox.cancel();
    throw;
  }
  state->settle_start(*record, std::move(thread));
  log::info("创建行为树: " + record->tree_id);
  return record->tree_id;
}

// Who stops: stop_tree (one tree), stop_all_trees, or the destructor.
enum class StopMode { kOne, kAll, kDestructor };

enum class StopOutcome {
  kStopped,           // stopped by this call: its line is to be logged
  kStoppedElsewhere,  // gone, or stopped by another thread (the wait for it, if any, is over)
  kOwnThread,         // refused: the call comes from the tree's own worker
  kCycle,             // refused: the wait would close a cycle of waiting trees
};

// Stops one tree as `mode` says and tells how it went; logs nothing and holds no lock when it
// returns. `cycle` receives the cycle of a refused wait.
StopOutcome stop_one(EngineState& state, const std::shared_ptr<TreeRecord>& record, StopMode mode,
                     std::string& cycle) {
  TreeRecord& tree = *record;
  const bool own = tree.worker_id.load() == std::this_thread::get_id();
  // Nothing is recorded as waited for from the tree's own worker: it never waits for itself.
  std::optional<details::WaitFor> wait;
  if (!own) wait.emplace(record.get(), tree.tree_id);
  const bool closes_cycle = wait && wait->cycle();
  if (closes_cycle) cycle = *wait->cycle();

  for (;;) {
    switch (state.inspect(tree)) {
      case EngineState::Claim::kGone:
        return StopOutcome::kStoppedElsewhere;
      case EngineState::Claim::kStoppingElsewhere:
        // Another thread's stop: it counts as stopped. Stopping several trees waits for it to
        // end, unless it waits for us (our own tree, or a tree whose tick waits for ours): then
        // it ends after we have returned.
        if (mode != StopMode::kOne && !own && !closes_cycle) state.wait_withdrawn(tree);
        return StopOutcome::kStoppedElsewhere;
      case EngineState::Claim::kClaimed:
        break;
    }
    if ((own || closes_cycle) && mode != StopMode::kDestructor) {
      return own ? StopOutcome::kOwnThread : StopOutcome::kCycle;
    }
    if (state.claim(tree) == EngineState::Claim::kClaimed) break;
    // Changed meanwhile: look again.
  }

  tree.stop_source.request_stop();  // a tick loop in progress ends
  if (own || closes_cycle) {
    // The engine is destroyed inside this tree's tick, or inside a tick this tree waits for: its
    // command in progress cannot be waited for here. The worker leaves after it, and the reaper
    // joins the worker once it has.
    tree.mailbox.abandon();
    details::reap(state.take_thread(tree));
  } else {
    tree.mailbox.stop();  // waits for the command in progress and its delivery
    std::thread thread = state.take_thread(tree);
    // A creation whose thread could not start has withdrawn the tree meanwhile.
    if (!thread.joinable()) return StopOutcome::kStoppedElsewhere;
    thread.join();
  }
  state.withdraw(tree);
  return StopOutcome::kStopped;
}

// Stops every tree present (stop_all_trees and the destructor).
void stop_every_tree(EngineState& state, StopMode mode) {
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
        details::fail_logged(
            RuntimeError(details::own_thread_message(record->tree_id), Errc::own_thread));
      case StopOutcome::kCycle:
        details::fail_logged(
            RuntimeError("停止行为树 " + record->tree_id + " 失败: " + details::cycle_text(cycle),
                         Errc::wait_cycle));
    }
  }
  log::info("停止所有行为树");
}

}  // namespace

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

std::string ThreadEngine::create_tree_from_text(const std::string& xml_text,
                                                std::optional<std::string> tree_id) {
  return create_tree(state_, core::TreeSource::from_text(xml_text), std::move(tree_id));
}

std::string ThreadEngine::create_tree_from_file(const std::string& file_path,
                                                std::optional<std::string> tree_id) {
  return create_tree(state_, core::TreeSource::from_file(file_path), std::move(tree_id));
}

std::vector<std::string> ThreadEngine::get_tree_ids() const {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> ids;
  ids.reserve(state_->listed);
  for (const auto& entry : state_->order) {
    if (!entry.second->stopping) ids.push_back(entry.second->tree_id);
  }
  return ids;
}

std::vector<TreeInfo> ThreadEngine::trees() const {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  std::lock_guard lock(state_->mutex);
  std::vector<TreeInfo> trees;
  trees.reserve(state_->listed);
  for (const auto& entry : state_->order) {
    const TreeRecord* record = entry.second.get();
    if (record->stopping) continue;
    trees.push_back(TreeInfo{record->tree_id, record->source.text(), record->source.path(),
                             record->created_at});
  }
  return trees;
}

void ThreadEngine::stop_tree(const std::string& tree_id) {
  std::shared_ptr<EngineState> state = state_;
  if (state->inherited()) return;
  std::shared_ptr<TreeRecord> record = details::find_tree(*state, tree_id);
  std::string cycle;
  switch (stop_one(*state, record, StopMode::kOne, cycle)) {
    case StopOutcome::kStopped:
      log::info("停止行为树: " + tree_id);
      return;
    case StopOutcome::kStoppedElsewhere:
      fail_logged_value("行为树ID " + tree_id + " 不存在");
    case StopOutcome::kOwnThread:
      details::fail_logged(RuntimeError(details::own_thread_message(tree_id), Errc::own_thread));
    case StopOutcome::kCycle:
      details::fail_logged(RuntimeError(
          "停止行为树 " + tree_id + " 失败: " + details::cycle_text(cycle), Errc::wait_cycle));
  }
}

void ThreadEngine::stop_all_trees() {
  std::shared_ptr<EngineState> state = state_;
  if (state->inherited()) return;
  stop_every_tree(*state, StopMode::kAll);
}

}  // namespace kelmora::engine::trigger
