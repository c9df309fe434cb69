#pragma once
// The host protocol: the thread engine as a dynamically typed host (the Python module) drives
// it, by command records and result records.
//
// A command record names a command type and carries a map of parameters; processing it on a
// tree's SequentialEngine leaves one result record: (the type, the tree id, the operation's
// result) on success, ("error", the tree id, the message) otherwise. The command types, in the
// order they are compared (exactly, case-sensitively), and the SequentialEngine operation each
// runs, the same one the ThreadEngine method of that name runs:
//
//   "tick_once"                tick_once()
//   "tick_until_failure"       tick_until_failure()
//   "tick_until_success"       tick_until_success()
//   "tick_n_times"             tick_n_times(n)              n: parameter "n", 1 when absent
//   "get_status"               get_tree_status()
//   "get_blackboard_data"      get_blackboard_data(key)     key: parameter "key"
//   "set_blackboard_data"      set_blackboard_data(key, value); its result is none
//   "get_all_blackboard_data"  get_all_blackboard_data()
//   "reset"                    reset_tree(); its result is none
//
// Messages: an unknown type "未知命令类型: <type>" (a record without a type reads "None"); a
// failed operation "处理命令 <type> 时发生错误: <what it threw>"; both are error lines of the
// worker, and the sender then fails with "行为树 <id> 执行命令 <type> 失败: <message>", logged
// after the worker's line.

#include <any>
#include <array>
#include <exception>
#include <kelmora/core/any.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "mailbox.hpp"

namespace kelmora::engine::trigger::host {

// A command record. `type`: the command type; empty stands for none (an absent type), and a
// value that is not a string matches no type. `params`: absent (nullopt) reads as an empty map;
// a value that is not a core::AnyMap (none included) makes every type that reads a parameter
// fail, the others are not affected.
struct CommandRecord {
  std::any type;
  std::optional<std::any> params;
};

// (result_type, result_tree_id, result_value): the command type on success or "error", the tree
// id processing was given, and the result (none for "set_blackboard_data" and "reset") or the
// message.
struct ResultRecord {
  std::string result_type;
  std::string result_tree_id;
  std::any result_value;
};

// The command types, in the order they are compared.
inline constexpr std::array<std::string_view, 9> kCommandTypes = {
    "tick_once",  "tick_until_failure",  "tick_until_success",  "tick_n_times",
    "get_status", "get_blackboard_data", "set_blackboard_data", "get_all_blackboard_data",
    "reset"};

// What processing one command gave: its result record, the worker's error line (an unknown type
// or a failed operation), and what the operation threw.
struct Processed {
  ResultRecord result;
  std::optional<std::string> line;
  std::exception_ptr cause;
};

// Carries out one command on `engine` and returns its result record, the error line to log and
// the cause; an unknown type or an operation that throws (a parameter that cannot be read
// included) gives an "error" record, never an exception. The tick loops run under `control`.
// Not thread-safe: one thread per engine.
Processed process(SequentialEngine& engine, const CommandRecord& command,
                  const std::string& tree_id, const LoopControl& control = {});

// process(), then logs its line: the host's _process_command. Leaves exactly one result record
// in `result`. Not thread-safe: one thread per engine.
void process_command(SequentialEngine& engine, const CommandRecord& command,
                     const std::string& tree_id, std::optional<ResultRecord>& result);

// The host's _check_tree_exists: logs and throws ValueError "行为树ID X 不存在" unless the tree
// exists (and is not being stopped). Thread-safe.
void check_tree_exists(const ThreadEngine& engine, const std::string& tree_id);

// The host's _send_command: sends the command record {command_type, params, or an empty map when
// they are absent or empty} to the tree's worker, which processes it (process()), and returns the
// result value unchanged (an empty any for none). Throws as the tree operations do: ValueError
// for an unknown tree; RuntimeError "行为树 X 执行命令 Y 失败: ..." for an "error" record
// (Errc::command_failed, what the operation threw nested; logged after the worker's line), and
// for the other refusals of ThreadEngine's operations. With a `poll`, the caller looks at it
// while it waits and its tick loops watch poll->cancel (see Mailbox::CallerPoll); a command the
// poll interrupted throws details::InterruptedCommand, with no line logged for a cancelled loop.
// Thread-safe.
std::any send_command(ThreadEngine& engine, const std::string& tree_id,
                      const std::string& command_type,
                      std::optional<core::AnyMap> params = std::nullopt,
                      details::Mailbox::CallerPoll* poll = nullptr);

}  // namespace kelmora::engine::trigger::host
