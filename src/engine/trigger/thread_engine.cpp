// ThreadEngine: the path of one command, from the caller's operation to the tree's worker and
// back, with construction and registration. Creation, stopping and destruction are in trees.cpp.
//
// One command, tick_once say: the operation wraps `engine.tick_once()` in a job and sends it
// (send(), below). The caller finds the tree, is refused if it is the tree's own worker or if its
// wait would close a cycle of waiting trees, and hands the job to the tree's Mailbox
// (mailbox.cpp). The worker, serving that mailbox in run_worker() (at the end of this file), runs
// the job on its SequentialEngine and delivers what it returned, or what it threw. The caller,
// holding no lock any more, returns the result, or logs the failure (the worker's line, then its
// own) and throws it with the worker's exception nested.

#include <cstddef>
#include <exception>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/type_name.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine_access.hpp"
#include "engine_state.hpp"
#include "mailbox.hpp"
#include "waits.hpp"

namespace kelmora::engine::trigger {

using details::EngineState;
using details::JobRef;
using details::Mailbox;
using details::TreeRecord;

namespace details {
namespace {

// "行为树线程 X 发生错误: <what the worker's failure says>": the worker's line, and the text a
// command to the failed worker fails with.
std::string worker_failure_message(const std::string& tree_id, const std::exception_ptr& failure) {
  return "行为树线程 " + tree_id + " 发生错误: " + error_text(failure);
}

// The caller side of one command: sends `job` to the tree's worker and returns once it has run.
// Throws, logged: ValueError for a tree that is not there; RuntimeError for a call from the
// tree's own worker, a wait that would close a cycle, a worker that failed or has ended, an
// engine inherited across fork(), and a job that threw (the command failed).
//
// `state` is the engine's, alive when the call begins (its caller holds the engine); the call
// holds no reference to it, so that callers of different trees share no counter: after the
// lookup it keeps only the tree's record, and it reaches the engine again through the record's
// weak reference only when a stop turned it away and it looks again (the engine may have been
// destroyed meanwhile: then the tree is gone).
void send(EngineState& state, const std::string& tree_id, std::string_view type, JobRef job,
          Mailbox::CallerPoll* poll = nullptr) {
  if (state.inherited()) {
    // Not logged: the log's locks may have been held at the fork by threads that are gone.
    throw RuntimeError(inherited_command_message(tree_id, type), Errc::inherited);
  }
  // The prefix of every failure's message, made only when there is one.
  const auto failed = [&] {
    return "行为树 " + tree_id + " 执行命令 " + std::string(type) + " 失败: ";
  };
  std::shared_ptr<TreeRecord> record = find_tree(state, tree_id);
  for (;;) {
    if (record->worker_id.load() == std::this_thread::get_id()) {
      // From a log handler on the worker's error path the tree's answer is its failure, at once;
      // from its ticks, a refusal (the worker would wait for itself).
      if (record->failure) {
        fail_logged(RuntimeError(failed() + worker_failure_message(tree_id, record->failure),
                                 Errc::worker_failed),
                    record->failure);
      }
      fail_logged(RuntimeError(own_thread_message(tree_id), Errc::own_thread));
    }

    // The round trip, with no log line written until it is over and every lock released.
    std::optional<std::string> cycle;
    Mailbox::Reply reply;
    {
      WaitFor wait(record.get(), record->tree_id);
      if (wait.cycle()) {
        cycle = *wait.cycle();
      } else {
        reply = record->mailbox.call(job, poll);
      }
    }
    if (cycle) fail_logged(RuntimeError(failed() + cycle_text(*cycle), Errc::wait_cycle));

    switch (reply.outcome) {
      case Mailbox::Outcome::kDone: {
        if (!reply.error) return;
        if (reply.interrupted && is_tree_stopped(reply.error)) throw InterruptedCommand(failed());
        const std::string worker_line =
            "处理命令 " + std::string(type) + " 时发生错误: " + error_text(reply.error);
        log::error(worker_line);
        fail_logged(RuntimeError(failed() + worker_line, Errc::command_failed), reply.error);
      }
      case Mailbox::Outcome::kWorkerFailed:
        fail_logged(RuntimeError(failed() + worker_failure_message(tree_id, reply.error),
                                 Errc::worker_failed),
                    reply.error);
      case Mailbox::Outcome::kWorkerEnded:
        fail_logged(RuntimeError(failed() + "工作线程已结束", Errc::worker_ended));
      case Mailbox::Outcome::kClosed: {
        // Stopped while we queued: as if we had called after the stop (a tree created since
        // under the same id serves us; none when the engine has been destroyed since).
        const std::shared_ptr<EngineState> engine = record->engine.lock();
        if (!engine) fail_missing_tree(tree_id);
        record = find_tree(*engine, tree_id);
        continue;
      }
      case Mailbox::Outcome::kInterrupted:
        throw InterruptedCommand(failed() + "the caller was interrupted before the command ran");
    }
  }
}

// Sends `op` (a function of the worker's SequentialEngine) as a command and returns its result.
template <class Op>
auto command(EngineState& state, const std::string& tree_id, std::string_view type, Op op) {
  using Result = std::invoke_result_t<Op&, SequentialEngine&>;
  if constexpr (std::is_void_v<Result>) {
    send(state, tree_id, type, JobRef(op));
  } else {
    std::optional<Result> result;
    auto job = [&](SequentialEngine& engine) { result.emplace(op(engine)); };
    send(state, tree_id, type, JobRef(job));
    return std::move(*result);
  }
}

}  // namespace

void EngineAccess::run(ThreadEngine& engine, const std::string& tree_id, std::string_view type,
                       JobRef job, Mailbox::CallerPoll* poll) {
  send(*engine.state_, tree_id, type, job, poll);
}

void EngineAccess::check_tree_exists(const ThreadEngine& engine, const std::string& tree_id) {
  std::shared_ptr<EngineState> state = engine.state_;
  if (state->inherited()) throw RuntimeError(inherited_message(), Errc::inherited);
  find_tree(*state, tree_id);
}

}  // namespace details

// --- construction and registration ------------------------------------------------------------

ThreadEngine::ThreadEngine() : ThreadEngine(EngineOptions{}) {}

ThreadEngine::ThreadEngine(EngineOptions options)
    : factory_(), state_(std::make_shared<EngineState>(options)) {
  log::info("初始化线程引擎");
}

void ThreadEngine::register_action_behavior(const std::string& action_id,
                                            core::TickFunctor tick_functor,
                                            core::PortsList ports_list) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  if (auto problem = core::action_registration_problem(action_id, ports_list)) {
    throw ValueError(*problem);
  }
  details::ReplayStep step;
  step.apply = [action_id, tick_functor, ports_list](SequentialEngine& engine) {
    engine.register_action_behavior(action_id, tick_functor, ports_list);
  };
  step.action.emplace(action_id, std::move(tick_functor), std::move(ports_list));
  details::add_registration(*state_, action_id, std::move(step));
}

void ThreadEngine::register_condition_behavior(const std::string& condition_id,
                                               core::TickFunctor tick_functor,
                                               core::PortsList ports_list) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  if (auto problem = core::action_registration_problem(condition_id, ports_list)) {
    throw ValueError(*problem);
  }
  details::ReplayStep step;
  step.apply = [condition_id, tick_functor = std::move(tick_functor),
                ports_list = std::move(ports_list)](SequentialEngine& engine) {
    engine.register_condition_behavior(condition_id, tick_functor, ports_list);
  };
  details::add_registration(*state_, condition_id, std::move(step));
}

void ThreadEngine::register_node_class(const core::NodeClass& node_class,
                                       std::optional<std::string> node_id) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  if (!node_class.kind || *node_class.kind == core::NodeKind::SUBTREE) {
    const std::string message = core::unknown_node_class_message(node_class.name);
    log::error(message);
    throw TypeError(message);
  }
  if (!node_class.create) throw ValueError("node class " + node_class.name + " has no creator");
  std::string id = node_id ? std::move(*node_id) : node_class.name;
  if (auto problem = core::action_registration_problem(id, node_class.ports)) {
    throw ValueError(*problem);
  }
  details::ReplayStep step;
  step.apply = [id, node_class](SequentialEngine& engine) {
    engine.register_node_class(node_class, id);
  };
  details::add_registration(*state_, id, std::move(step));
}

void ThreadEngine::register_action_class(const ActionClass& action_class,
                                         std::optional<std::string> action_id) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  if (!action_class.derives_from_simple_action_node) {
    std::string message = "节点类 " + action_class.name + " 必须继承自SimpleActionNode";
    log::error(message);
    throw TypeError(message);
  }
  std::string id = action_id ? std::move(*action_id) : action_class.name;
  if (!action_class.tick) {
    throw AttributeError("action class " + action_class.name + " has no static tick function");
  }
  register_action_behavior(id, *action_class.tick, action_class.ports.value_or(core::PortsList{}));
}

std::vector<ActionRegistration> ThreadEngine::action_registrations() const {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  std::lock_guard lock(state_->mutex);
  std::vector<ActionRegistration> actions;
  for (const auto& step : state_->registrations) {
    if (step.action) actions.push_back(*step.action);
  }
  return actions;
}

namespace details {

void add_registration(EngineState& state, const std::string& id, ReplayStep step) {
  log::info("注册动作节点: " + id);
  std::lock_guard lock(state.mutex);
  state.registrations.push_back(std::move(step));
}

}  // namespace details

void ThreadEngine::register_scripting_enum(const std::string& name, std::int64_t value) {
  register_scripting_enums({{name, value}});
}

void ThreadEngine::register_scripting_enums(
    const std::vector<std::pair<std::string, std::int64_t>>& values) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  {
    std::lock_guard lock(state_->mutex);
    state_->checked.register_scripting_enums(values);  // throws before anything is stored
    state_->registrations.push_back(details::ReplayStep{
        [values](SequentialEngine& engine) { engine.register_scripting_enums(values); }, {}});
  }
  for (const auto& [name, value] : values) {
    log::info("注册脚本枚举: " + name + " = " + std::to_string(value));
  }
}

namespace {

// Registers a batch of loaded definitions with the engine's state and logs their IDs.
std::vector<std::string> register_definitions(
    EngineState& state, std::vector<std::shared_ptr<const core::TreeDefinitions>> batch) {
  std::vector<std::string> ids;
  {
    std::lock_guard lock(state.mutex);
    ids = state.checked.register_trees(batch);  // throws before anything is stored
    state.registrations.push_back(details::ReplayStep{
        [batch = std::move(batch)](SequentialEngine& engine) { engine.register_trees(batch); },
        {}});
  }
  for (const std::string& id : ids) log::info("注册行为树定义: " + id);
  return ids;
}

}  // namespace

std::vector<std::string> ThreadEngine::register_tree_text(const std::string& xml_text) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  return register_definitions(*state_,
                              {core::TreeDefinitions::load(core::TreeSource::from_text(xml_text))});
}

std::vector<std::string> ThreadEngine::register_tree_file(const std::string& path) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  return register_definitions(*state_,
                              {core::TreeDefinitions::load(core::TreeSource::from_file(path))});
}

std::vector<std::string> ThreadEngine::register_tree_folder(const std::string& path) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  return register_definitions(*state_, core::TreeDefinitions::load_folder(path));
}

// --- tree operations: one command each --------------------------------------------------------

namespace {

// The control of a tick loop ended by `cancel`.
LoopControl cancelled_by(std::stop_token cancel) {
  LoopControl control;
  control.cancel = std::move(cancel);
  return control;
}

}  // namespace

core::NodeStatus ThreadEngine::tick_once(const std::string& tree_id) {
  return details::command(*state_, tree_id, "tick_once",
                          [](SequentialEngine& engine) { return engine.tick_once(); });
}

std::int64_t ThreadEngine::tick_until_failure(const std::string& tree_id) {
  return details::command(*state_, tree_id, "tick_until_failure",
                          [](SequentialEngine& engine) { return engine.tick_until_failure(); });
}

std::int64_t ThreadEngine::tick_until_success(const std::string& tree_id) {
  return details::command(*state_, tree_id, "tick_until_success",
                          [](SequentialEngine& engine) { return engine.tick_until_success(); });
}

std::vector<core::NodeStatus> ThreadEngine::tick_n_times(const std::string& tree_id,
                                                         std::int64_t n) {
  return details::command(*state_, tree_id, "tick_n_times",
                          [n](SequentialEngine& engine) { return engine.tick_n_times(n); });
}

std::int64_t ThreadEngine::tick_until_failure(const std::string& tree_id, std::stop_token cancel) {
  return details::command(*state_, tree_id, "tick_until_failure",
                          [control = cancelled_by(std::move(cancel))](
                              SequentialEngine& engine) {
                            return engine.tick_until_failure(control);
                          });
}

std::int64_t ThreadEngine::tick_until_success(const std::string& tree_id, std::stop_token cancel) {
  return details::command(*state_, tree_id, "tick_until_success",
                          [control = cancelled_by(std::move(cancel))](
                              SequentialEngine& engine) {
                            return engine.tick_until_success(control);
                          });
}

std::vector<core::NodeStatus> ThreadEngine::tick_n_times(const std::string& tree_id,
                                                         std::int64_t n, std::stop_token cancel) {
  return details::command(*state_, tree_id, "tick_n_times",
                          [n, control = cancelled_by(std::move(cancel))](
                              SequentialEngine& engine) { return engine.tick_n_times(n, control); });
}

core::AnyMap ThreadEngine::get_tree_status(const std::string& tree_id) {
  return details::command(*state_, tree_id, "get_status",
                          [](SequentialEngine& engine) { return engine.get_tree_status(); });
}

std::any ThreadEngine::get_blackboard_data(const std::string& tree_id, const std::string& key) {
  return details::command(
      *state_, tree_id, "get_blackboard_data",
      [&key](SequentialEngine& engine) { return engine.get_blackboard_data(key); });
}

void ThreadEngine::set_blackboard_data(const std::string& tree_id, const std::string& key,
                                       std::any value) {
  details::command(*state_, tree_id, "set_blackboard_data", [&](SequentialEngine& engine) {
    engine.set_blackboard_data(key, std::move(value));
  });
}

core::AnyMap ThreadEngine::get_all_blackboard_data(const std::string& tree_id) {
  return details::command(
      *state_, tree_id, "get_all_blackboard_data",
      [](SequentialEngine& engine) { return engine.get_all_blackboard_data(); });
}

void ThreadEngine::reset_tree(const std::string& tree_id) {
  details::command(*state_, tree_id, "reset",
                   [](SequentialEngine& engine) { engine.reset_tree(); });
}

void ThreadEngine::set_tick_period(const std::string& tree_id, std::chrono::nanoseconds period) {
  if (period < std::chrono::nanoseconds::zero()) {
    throw ValueError("the tick period must not be negative (got " +
                     std::to_string(period.count()) + " ns)");
  }
  details::command(*state_, tree_id, "set_tick_period",
                   [period](SequentialEngine& engine) { engine.set_tick_period(period); });
}

void ThreadEngine::emit_wake_up_signal(const std::string& tree_id) {
  std::shared_ptr<EngineState> state = state_;
  if (state->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  details::find_tree(*state, tree_id)->wake_up->emit();
}

// --- the worker ---------------------------------------------------------------------------------

namespace details {

namespace {

// Halts the worker's tree as its worker ends; a halt that throws is logged, not passed on (the
// tree ends either way).
void halt_at_end(SequentialEngine& engine, const std::string& tree_id) noexcept {
  std::exception_ptr failure;
  try {
    engine.halt_tree();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) return;
  try {
    log::error("tree " + tree_id + ": halting its nodes as its worker ended failed: " +
               error_text(failure));
  } catch (...) {
    // Out of memory for the line: the worker ends all the same.
  }
}

}  // namespace

void run_worker(std::shared_ptr<EngineState> state, std::shared_ptr<TreeRecord> record) noexcept {
  TreeRecord& tree = *record;
  // Recorded for as long as the routine runs, so that a later thread given the same id is not
  // taken for this worker.
  struct WorkerId {
    explicit WorkerId(TreeRecord& t) : tree(t) { tree.worker_id.store(std::this_thread::get_id()); }
    ~WorkerId() { tree.worker_id.store(std::thread::id{}); }
    TreeRecord& tree;
  } worker_id(tree);
  WorkerScope worker(&tree, &tree.tree_id);
  try {
    std::vector<std::function<void(SequentialEngine&)>> registrations;
    {
      std::lock_guard lock(state->mutex);
      registrations.reserve(state->registrations.size());
      for (const auto& step : state->registrations) registrations.push_back(step.apply);
    }
    // Tells the observers about every tick step, and that the tree has ended when it leaves.
    observe::details::TreeWatch watch(state->hub, tree.tree_id, tree.sequence, tree.source.text(),
                                      tree.created_at);
    const auto tick_period = state->tick_period;
    state.reset();  // the worker needs nothing more of the engine

    SequentialEngine engine;
    engine.set_step_hook([&watch](core::Tree& built, SequentialEngine::StepPoint point) {
      if (point == SequentialEngine::StepPoint::kBefore) {
        watch.prepare(built);
      } else {
        watch.step(built);
      }
    });
    engine.set_stop_token(tree.stop_source.get_token());
    engine.set_wake_up_signal(tree.wake_up);
    engine.set_tick_period(tick_period);
    for (const auto& apply : registrations) apply(engine);
    registrations.clear();
    if (tree.tree_name) {
      engine.create_tree_by_name(*tree.tree_name);
    } else {
      engine.create_tree(tree.source);
    }
    tree.mailbox.serve(engine);
    // Told to end (a stop, the engine's destruction): RUNNING nodes get their halt here, on the
    // worker, before the stop that waits for this thread returns.
    halt_at_end(engine, tree.tree_id);
  } catch (...) {
    // Logged here, then given to the caller waiting now or the next one.
    tree.failure = std::current_exception();
    try {
      log::error(worker_failure_message(tree.tree_id, tree.failure));
    } catch (...) {
      // Out of memory for the line: the failure still reaches a caller.
    }
    tree.mailbox.fail(tree.failure);
  }
}

}  // namespace details
}  // namespace kelmora::engine::trigger
