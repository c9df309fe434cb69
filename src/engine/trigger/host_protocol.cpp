#include "host_protocol.hpp"

#include <cstdint>
#include <kelmora/core/errors.hpp>
#include <kelmora/log.hpp>
#include <utility>
#include <variant>

#include "engine_access.hpp"
#include "engine_state.hpp"

namespace kelmora::engine::trigger::host {
namespace {

// The value as text when it holds text. A std::string is read directly: most values are, and the
// value helpers' hooks are asked only for other kinds (a host's strings).
std::optional<std::string> text_of(const std::any& value) {
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  return core::any_as_string(value);
}

// The text of a command type in messages: a string unchanged, "None" for none, else the value's
// text.
std::string type_text(const std::any& type) {
  if (!type.has_value()) return "None";
  if (auto text = text_of(type)) return *text;
  return core::any_to_text(type);
}

// The parameter map; absent: an empty one. TypeError for parameters that are no map.
const core::AnyMap& parameters(const std::optional<std::any>& params) {
  static const core::AnyMap kNone;
  if (!params) return kNone;
  if (const auto* map = std::any_cast<core::AnyMap>(&*params)) return *map;
  throw TypeError("the command's parameters must be a map of names to values, not " +
                  core::any_kind_name(*params));
}

// The parameter `name`; an empty any (none) when absent.
std::any parameter(const std::optional<std::any>& params, const std::string& name) {
  const core::AnyMap& map = parameters(params);
  auto it = map.find(name);
  return it == map.end() ? std::any{} : it->second;
}

// The count of "tick_n_times": 1 when absent, else a 64-bit integer.
std::int64_t count_parameter(const std::optional<std::any>& params) {
  const core::AnyMap& map = parameters(params);
  auto it = map.find("n");
  if (it == map.end()) return 1;
  const std::any& n = it->second;
  if (const auto* integer = std::any_cast<std::int64_t>(&n)) return *integer;
  if (auto scalar = core::any_as_scalar(n)) {
    if (const auto* integer = std::get_if<std::int64_t>(&*scalar)) return *integer;
  }
  throw TypeError("parameter 'n' must be a 64-bit integer, not " + core::any_kind_name(n));
}

// The blackboard key of the blackboard commands: a string.
std::string key_parameter(const std::optional<std::any>& params) {
  const std::any key = parameter(params, "key");
  if (auto text = text_of(key)) return *std::move(text);
  throw TypeError("parameter 'key' must be a string, not " + core::any_kind_name(key));
}

using Handler = std::any (*)(SequentialEngine&, const std::optional<std::any>& params,
                            const LoopControl& control);

// The command types in the order they are compared, each with the engine operation it runs and
// the result value it stores.
constexpr std::array<std::pair<std::string_view, Handler>, kCommandTypes.size()> kHandlers{{
    {kCommandTypes[0],
     [](SequentialEngine& e, const std::optional<std::any>&, const LoopControl&) -> std::any {
       return e.tick_once();
     }},
    {kCommandTypes[1],
     [](SequentialEngine& e, const std::optional<std::any>&, const LoopControl& c) -> std::any {
       return e.tick_until_failure(c);
     }},
    {kCommandTypes[2],
     [](SequentialEngine& e, const std::optional<std::any>&, const LoopControl& c) -> std::any {
       return e.tick_until_success(c);
     }},
    {kCommandTypes[3],
     [](SequentialEngine& e, const std::optional<std::any>& p, const LoopControl& c) -> std::any {
       return e.tick_n_times(count_parameter(p), c);
     }},
    {kCommandTypes[4],
     [](SequentialEngine& e, const std::optional<std::any>&, const LoopControl&) -> std::any {
       return e.get_tree_status();
     }},
    {kCommandTypes[5],
     [](SequentialEngine& e, const std::optional<std::any>& p, const LoopControl&) -> std::any {
       return e.get_blackboard_data(key_parameter(p));
     }},
    {kCommandTypes[6],
     [](SequentialEngine& e, const std::optional<std::any>& p, const LoopControl&) -> std::any {
       std::string key = key_parameter(p);  // the key is read before the value
       e.set_blackboard_data(key, parameter(p, "value"));
       return {};
     }},
    {kCommandTypes[7],
     [](SequentialEngine& e, const std::optional<std::any>&, const LoopControl&) -> std::any {
       return e.get_all_blackboard_data();
     }},
    {kCommandTypes[8],
     [](SequentialEngine& e, const std::optional<std::any>&, const LoopControl&) -> std::any {
       e.reset_tree();
       return {};
     }},
}};

// The handler of the command type `type`; nullptr for an unknown one.
Handler find_handler(std::string_view type) {
  for (const auto& [name, handler] : kHandlers) {
    if (name == type) return handler;
  }
  return nullptr;
}

// What running a known command gave: its result value, or the worker's error line and cause.
struct Ran {
  std::any value;
  std::optional<std::string> line;
  std::exception_ptr cause;
};

// Runs `handler` on `engine`; an exception it throws becomes the line "处理命令 <type> 时发生错误:
// <what it threw>", where the type is written by `type_text` (called only then).
template <class TypeText>
Ran run_handler(Handler handler, SequentialEngine& engine, const std::optional<std::any>& params,
                const LoopControl& control, TypeText type_text) {
  Ran ran;
  try {
    ran.value = handler(engine, params, control);
  } catch (...) {
    ran.cause = std::current_exception();
    ran.line = "处理命令 " + type_text() + " 时发生错误: " + details::error_text(ran.cause);
  }
  return ran;
}

}  // namespace

Processed process(SequentialEngine& engine, const CommandRecord& command,
                  const std::string& tree_id, const LoopControl& control) {
  Processed processed;
  std::optional<std::string> type = text_of(command.type);
  const Handler handler = type ? find_handler(*type) : nullptr;
  if (handler == nullptr) {
    processed.line = "未知命令类型: " + type_text(command.type);
  } else {
    Ran ran = run_handler(handler, engine, command.params, control, [&] { return *type; });
    if (!ran.line) {
      processed.result = ResultRecord{std::move(*type), tree_id, std::move(ran.value)};
      return processed;
    }
    processed.line = std::move(ran.line);
    processed.cause = std::move(ran.cause);
  }
  processed.result = ResultRecord{"error", tree_id, *processed.line};
  return processed;
}

void process_command(SequentialEngine& engine, const CommandRecord& command,
                     const std::string& tree_id, std::optional<ResultRecord>& result) {
  Processed processed = process(engine, command, tree_id);
  if (processed.line) log::error(*processed.line);
  result = std::move(processed.result);
}

void check_tree_exists(const ThreadEngine& engine, const std::string& tree_id) {
  details::EngineAccess::check_tree_exists(engine, tree_id);
}

std::any send_command(ThreadEngine& engine, const std::string& tree_id,
                      const std::string& command_type, std::optional<core::AnyMap> params,
                      details::Mailbox::CallerPoll* poll) {
  // The type is looked up here, on the caller's thread, and no parameters stand for an empty
  // map: the worker runs the operation alone, and nothing is copied for a command without
  // parameters.
  const Handler handler = find_handler(command_type);
  std::optional<std::any> command_params;
  if (params && !params->empty()) command_params.emplace(std::move(*params));
  LoopControl control;
  if (poll != nullptr) control.cancel = poll->cancel.get_token();
  Ran ran;
  auto job = [&](SequentialEngine& worker_engine) {
    if (handler == nullptr) {
      ran.line = "未知命令类型: " + command_type;
      return;
    }
    ran = run_handler(handler, worker_engine, command_params, control,
                      [&] { return command_type; });
  };
  details::EngineAccess::run(engine, tree_id, command_type, details::JobRef(job), poll);
  if (poll != nullptr && poll->cancel.stop_requested() && ran.cause &&
      details::is_tree_stopped(ran.cause)) {
    // The caller's poll cancelled the loop: not a failure to report.
    throw details::InterruptedCommand("行为树 " + tree_id + " 执行命令 " + command_type +
                                      " 失败: " + *ran.line);
  }
  // The worker's line first, then the sender's, both once every lock is released.
  if (ran.line) {
    log::error(*ran.line);
    details::fail_logged(RuntimeError("行为树 " + tree_id + " 执行命令 " + command_type +
                                          " 失败: " + *ran.line,
                                      Errc::command_failed),
                         ran.cause);
  }
  return std::move(ran.value);
}

}  // namespace kelmora::engine::trigger::host
