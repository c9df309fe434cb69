#pragma once
// EngineAccess: the thread engine's internal entry points, for the host protocol
// (host_protocol.hpp) and for tests. Not part of the public interface.

#include <kelmora/engine/trigger/mthread.hpp>
#include <memory>
#include <string>
#include <string_view>

#include "engine_state.hpp"
#include "mailbox.hpp"

namespace kelmora::engine::trigger::details {

struct EngineAccess {
  static const std::shared_ptr<EngineState>& state(const ThreadEngine& engine) noexcept {
    return engine.state_;
  }

  // Sends `job` to the tree's worker as one command of type `type` and returns once it has run,
  // with every check and error of the tree operations (see ThreadEngine::tick_once): unknown
  // tree, own worker thread, cycle of waits, forked child, worker failed or ended; an exception
  // the job throws fails the command ("行为树 X 执行命令 Y 失败: 处理命令 Y 时发生错误: ...",
  // logged after the worker's line, the exception nested). With a `poll`, the caller looks at it
  // while it waits (see Mailbox::CallerPoll); when it interrupts the wait, throws
  // InterruptedCommand, unlogged, instead of the failure of the cancelled loop. Thread-safe.
  static void run(ThreadEngine& engine, const std::string& tree_id, std::string_view type,
                  JobRef job, Mailbox::CallerPoll* poll = nullptr);

  // Logs and throws ValueError "行为树ID X 不存在" unless the tree exists and is not being
  // stopped; RuntimeError in a forked child of the engine's process. Thread-safe.
  static void check_tree_exists(const ThreadEngine& engine, const std::string& tree_id);

  // Replaces how the engine starts worker threads (see StartThread). Not thread-safe: call it
  // before the engine creates any tree.
  static void set_start_thread(ThreadEngine& engine, StartThread start) {
    engine.state_->start_thread = std::move(start);
  }
};

}  // namespace kelmora::engine::trigger::details
