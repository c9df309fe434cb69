#pragma once
// ThreadEngine: runs behaviour trees concurrently, one worker thread per tree, each with its own
// single-threaded engine, driven from any caller thread by synchronous commands.
//
// Thread-safety: every public operation is thread-safe. Commands to one tree are served one at a
// time, in the order callers obtain the tree; commands to different trees run in parallel.
// A tree's operations must not be called from that tree's own worker thread (they fail with a
// RuntimeError instead of deadlocking); calling other trees from a tick function is fine, but a
// call from a tick that would close a cycle of trees waiting for each other (a's tick waits for
// b, whose tick calls a) fails at once with a RuntimeError "... 失败: 会形成循环等待 b -> a -> b",
// across engines too. Callers that are no tree's worker are never refused: they just wait.
// No engine lock is held while a log line is written, so a log handler may use the engine (the
// worker's line about a failed command is written by the command's caller, just before its own).
// In a child made by fork(), an engine made before the fork has no workers: its trees fail at
// once with a RuntimeError, and stopping and destruction do nothing.

#include <any>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/engine/trigger/worker_engine.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <variant>
#include <vector>

namespace kelmora::engine::trigger {

// A command a caller puts in a tree's command slot. An absent `type` matches no command type
// (its text is "None"); absent `params` read as an empty map.
struct CommandRecord {
  std::optional<std::string> type;
  std::optional<core::AnyMap> params;
};

// The value written into the command slot to make the worker end.
struct StopMarker {};

// A tree's command slot: empty, a command, or the stop marker.
using CommandSlot = std::variant<std::monostate, CommandRecord, StopMarker>;

// What a worker leaves in the result slot: the command type on success or "error", the tree id,
// and the command's result value (on "error", the message as std::string).
struct ResultRecord {
  std::string result_type;
  std::string result_tree_id;
  std::any result_value;
};

// (action id, tick function, ports list), in this order.
using ActionRegistration = std::tuple<std::string, core::TickFunctor, core::PortsList>;

// An action node class as register_action_class sees it: its own name (without namespace),
// whether it is SimpleActionNode or derived from it, its static tick (if it has one) and its
// static ports list (if it has one). action_class<T>() describes a C++ class; hosts build one for
// their own classes.
struct ActionClass {
  std::string name;
  bool derives_from_simple_action_node = false;
  std::optional<core::TickFunctor> tick;
  std::optional<core::PortsList> ports;
};

namespace details {
// The demangled type name without the namespaces and enclosing scopes in front of it
// ("ns::Outer<ns::X>" gives "Outer<ns::X>"). Thread-safe.
std::string short_type_name(const char* mangled);
}  // namespace details

// Describes the C++ class T: name from its type without namespace, derivation from
// SimpleActionNode, `T::tick` if T has a static tick(TreeNode&), `T::ports` if T has a static
// ports list.
template <class T>
ActionClass action_class() {
  ActionClass cls;
  cls.name = details::short_type_name(typeid(T).name());
  cls.derives_from_simple_action_node = std::is_base_of_v<nodes::SimpleActionNode, T>;
  if constexpr (requires(core::TreeNode & n) {
                  { T::tick(n) } -> std::convertible_to<core::NodeStatus>;
                }) {
    cls.tick = core::TickFunctor([](core::TreeNode& n) { return T::tick(n); });
  }
  if constexpr (requires { core::PortsList(T::ports); }) {
    cls.ports = core::PortsList(T::ports);
  }
  return cls;
}

class ThreadEngine {
 public:
  // Test and host seams: how each worker makes its engine, how a worker thread is started, and
  // how long the two sides of a tree's channel spin before they sleep.
  struct Options {
    // Makes the worker's engine, on the worker thread; by default a SequentialEngine.
    std::function<std::unique_ptr<WorkerEngine>()> make_engine;
    // Starts `body` on a new thread and returns that (joinable) thread; by default std::thread.
    // May throw: creation then withdraws the tree and passes the error on.
    std::function<std::thread(std::function<void()> body)> start_thread;
    // How long a caller waiting for a result, and a worker waiting for the next command, spin
    // before they sleep on the tree's condition variable. Zero never spins. Keep it to a few
    // microseconds so that idle trees use no CPU; spinning is skipped on single-core machines.
    std::chrono::nanoseconds spin_time = std::chrono::microseconds(4);
  };

  // Makes the factory and the empty engine state, then logs "初始化线程引擎".
  ThreadEngine();
  explicit ThreadEngine(Options options);
  // Stops every tree in creation order (as stop_all_trees, whose log lines it writes) and refuses
  // creations from then on. Never throws. Callers still waiting on a tree get their result (a
  // running tick loop is asked to end first) or, if queued behind the stop, the ValueError of a
  // missing tree. Every worker is joined, except one that cannot be waited for because the
  // destruction runs inside its tick, or inside a tick it waits for: that worker is told to leave
  // after its command in progress and ends on its own. In a forked child it does nothing (the
  // state is kept: its locks and condition variables may belong to threads of the parent).
  ~ThreadEngine();
  ThreadEngine(const ThreadEngine&) = delete;
  ThreadEngine& operator=(const ThreadEngine&) = delete;

  // Held for the engine's lifetime and open to callers; no operation of the engine reads it.
  // Not thread-safe: callers that use it from several threads serialise themselves.
  core::BehaviorTreeFactory& factory() noexcept { return factory_; }

  // Checks the registration against the core's rules (core::action_registration_problem): one
  // the core refuses (an empty or reserved id, a malformed port) throws ValueError with the
  // core's text, nothing logged or stored. Then logs "注册动作节点: " + id and appends
  // (id, tick function, ports list) to the registrations that workers of trees created later
  // replay into their engines. Thread-safe.
  void register_action_behavior(const std::string& action_id, core::TickFunctor tick_functor,
                                core::PortsList ports_list);

  // Registers an action node class under `action_id` or, when absent, the class's own name, with
  // its static tick and its ports (an empty list when it has none). A class that is not
  // SimpleActionNode or derived from it: logs and throws TypeError "节点类 X 必须继承自
  // SimpleActionNode"; a class without a static tick: AttributeError (nothing logged).
  // Thread-safe.
  void register_action_class(const ActionClass& action_class,
                             std::optional<std::string> action_id = std::nullopt);
  // The same for the C++ class T (see action_class<T>()). Thread-safe.
  template <class T>
  void register_action_class(std::optional<std::string> action_id = std::nullopt) {
    register_action_class(trigger::action_class<T>(), std::move(action_id));
  }

  // A copy of the registrations, in registration order. Thread-safe.
  std::vector<ActionRegistration> action_registrations() const;

  // Creates a tree under `tree_id` and starts its worker; returns the id without waiting for the
  // tree to be built (a bad XML shows at the first command). Without an id: "tree_" + the number
  // of trees present when no tree holds that id, else the next free "tree_N" above it. Logs
  // "创建行为树: " + id. Duplicate id: logs and throws ValueError "行为树ID X 已存在". An id whose
  // tree is being stopped: waits until that stop has ended the old worker, then creates the tree
  // (from a tick whose wait would close a cycle: logs and throws RuntimeError). A worker thread
  // that cannot be started: the tree is withdrawn and the error passed on. Thread-safe: the
  // duplicate check and the insertion are one step.
  std::string create_tree_from_text(const std::string& xml_text,
                                    std::optional<std::string> tree_id = std::nullopt);
  // Reads the UTF-8 file (CRLF and lone CR become LF, a byte-order mark is kept) and creates the
  // tree from its text, read once here; the worker builds that text as the file, like
  // SequentialEngine::create_tree_from_file (includes next to the file, build errors naming the
  // path as given). Throws TreeFileError naming the path (nothing logged, nothing created)
  // when the file cannot be read or is not UTF-8. Thread-safe.
  std::string create_tree_from_file(const std::string& file_path,
                                    std::optional<std::string> tree_id = std::nullopt);
  // The ids of all trees, in creation order; a tree being stopped is no longer listed.
  // Thread-safe.
  std::vector<std::string> get_tree_ids() const;

  // Tree operations: one synchronous command each, served by the tree's worker. Unknown tree:
  // logs and throws ValueError "行为树ID X 不存在"; failed command: logs and throws RuntimeError
  // "行为树 X 执行命令 Y 失败: ..."; result of the wrong kind: TypeError "Expected K, got K2"
  // (not logged; the tree stays usable). A none result comes back as std::nullopt / empty any.
  // Called from the tree's own worker thread: logs and throws RuntimeError. Thread-safe: callers
  // of one tree are served one at a time, each gets its own command's result.
  core::NodeStatus tick_once(const std::string& tree_id);
  std::optional<std::int64_t> tick_until_failure(const std::string& tree_id);
  std::optional<std::int64_t> tick_until_success(const std::string& tree_id);
  std::optional<std::vector<core::NodeStatus>> tick_n_times(const std::string& tree_id,
                                                            std::int64_t n);
  std::optional<core::AnyMap> get_tree_status(const std::string& tree_id);
  std::any get_blackboard_data(const std::string& tree_id, const std::string& key);
  void set_blackboard_data(const std::string& tree_id, const std::string& key, std::any value);
  std::optional<core::AnyMap> get_all_blackboard_data(const std::string& tree_id);
  void reset_tree(const std::string& tree_id);

  // Takes the tree over (from then on it is gone for commands and not listed), asks a running
  // tick loop of the tree to end, waits for the command in progress (its caller gets its
  // result), ends the worker, joins it, removes the tree and logs "停止行为树: " + id. Unknown
  // tree, or one another thread is stopping: logs and throws ValueError "行为树ID X 不存在".
  // From the tree's own worker thread, or when the wait would close a cycle of waiting trees:
  // logs and throws RuntimeError, nothing stopped. Thread-safe.
  void stop_tree(const std::string& tree_id);
  // Stops every tree present, in creation order, then logs "停止所有行为树". A tree another thread
  // is stopping, or has stopped since, counts as stopped (it waits for a stop still under way).
  // A refusal (its own tree, a cycle of waits) ends it: logged and thrown, the trees after it
  // left running. Thread-safe.
  void stop_all_trees();

  // Internals, public for hosts that build their own typed layer (the Python module) and tests.

  // Logs and throws ValueError "行为树ID X 不存在" unless the tree exists (and is not being
  // stopped). Thread-safe.
  void _check_tree_exists(const std::string& tree_id) const;
  // Sends one command to the tree and returns its result value unchanged (empty any = none);
  // empty or absent `params` send an empty map. Errors as for the tree operations. Thread-safe.
  std::any _send_command(const std::string& tree_id, const std::string& command_type,
                         std::optional<core::AnyMap> params = std::nullopt);
  // Carries out one command on `engine` and leaves exactly one result record in `result`:
  // (type, tree id, value) on success; ("error", tree id, message), logged, for an unknown type
  // or an error of the engine call. Never throws for a failed command. Not thread-safe: one
  // thread per engine.
  void _process_command(WorkerEngine& engine, const CommandRecord& command,
                        const std::string& tree_id, std::optional<ResultRecord>& result);

 private:
  struct TreeRecord;
  struct State;
  // Who stops: stop_tree (one tree), stop_all_trees, or the destructor.
  enum class StopMode { kOne, kAll, kDestructor };
  enum class StopOutcome;

  // Creation for both create_tree_from_text and create_tree_from_file.
  std::string create_tree(core::TreeSource source, std::optional<std::string> tree_id);
  // The worker routine, the body of a tree's worker thread. It holds the state and its record
  // itself, so nothing it uses can go away under it. Never throws.
  static void _run_tree(std::shared_ptr<State> state, std::shared_ptr<TreeRecord> record,
                        core::TreeSource source) noexcept;
  // The record under the id, or logs and throws ValueError "行为树ID X 不存在" when there is none
  // or it is being stopped.
  static std::shared_ptr<TreeRecord> find_tree(const State& state, const std::string& tree_id);
  // Stops one tree as `mode` says and tells how it went; logs nothing and holds no lock when it
  // returns. `cycle` receives the cycle of a refused wait.
  static StopOutcome stop_one(State& state, const std::shared_ptr<TreeRecord>& record,
                              StopMode mode, std::string& cycle);
  // Stops every tree present (stop_all_trees and the destructor).
  static void stop_every_tree(State& state, StopMode mode);

  core::BehaviorTreeFactory factory_;
  // Shared with the workers, and with callers still inside an operation while the engine is
  // destroyed: every operation works on its own copy of this pointer.
  std::shared_ptr<State> state_;
};

}  // namespace kelmora::engine::trigger

namespace kelmora {
using engine::trigger::ThreadEngine;
}
