#pragma once
// ThreadEngine: runs behaviour trees concurrently, one worker thread per tree, each with its own
// single-threaded engine, driven from any caller thread by synchronous commands.
//
// Thread-safety: every public operation is thread-safe. Commands to one tree are served one at a
// time, in the order callers obtain the tree; commands to different trees run in parallel.
// A tree's operations must not be called from that tree's own worker thread (they fail with a
// RuntimeError instead of deadlocking); calling other trees from a tick function is fine.

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

// A tree file that cannot be opened or read, or whose bytes are not valid UTF-8. The message
// names the path; code() is the system error (std::errc::illegal_byte_sequence for bad UTF-8).
class TreeFileError : public std::system_error {
 public:
  using std::system_error::system_error;
};

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
  // Stops every tree in creation order (as stop_all_trees, whose log lines it writes); an error
  // on one tree is logged and the others are still stopped. Never throws and leaves no thread
  // running. Callers still waiting on a tree get their result (a running tick loop is asked to
  // end first) or, if queued behind the stop, the ValueError of a missing tree.
  ~ThreadEngine();
  ThreadEngine(const ThreadEngine&) = delete;
  ThreadEngine& operator=(const ThreadEngine&) = delete;

  // Held for the engine's lifetime and open to callers; no operation of the engine reads it.
  // Not thread-safe: callers that use it from several threads serialise themselves.
  core::BehaviorTreeFactory& factory() noexcept { return factory_; }

  // Logs "注册动作节点: " + id, then appends (id, tick function, ports list) to the registrations
  // that workers of trees created later replay into their engines. Thread-safe.
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

  // Creates a tree under `tree_id` (or "tree_" + number of trees present) and starts its worker;
  // returns the id without waiting for the tree to be built (a bad XML shows at the first
  // command). Logs "创建行为树: " + id. Duplicate id: logs and throws ValueError "行为树ID X
  // 已存在". A worker thread that cannot be started: the tree is withdrawn and the error passed on.
  // Thread-safe: the duplicate check and the insertion are one step.
  std::string create_tree_from_text(const std::string& xml_text,
                                    std::optional<std::string> tree_id = std::nullopt);
  // Reads the UTF-8 file (CRLF and lone CR become LF, a byte-order mark is kept) and creates the
  // tree from its text, read once here; the worker builds that text as the file, like
  // SequentialEngine::create_tree_from_file (includes next to the file, build errors naming the
  // path as given). Throws TreeFileError naming the path (nothing logged, nothing created)
  // when the file cannot be read or is not UTF-8. Thread-safe.
  std::string create_tree_from_file(const std::string& file_path,
                                    std::optional<std::string> tree_id = std::nullopt);
  // The ids of all trees, in creation order. Thread-safe.
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

  // Asks a running tick loop of the tree to end, waits for the command in progress (its caller
  // gets its result), ends the worker, joins it, removes the tree and logs "停止行为树: " + id.
  // Unknown tree (also: stopped meanwhile by another thread): logs and throws ValueError.
  // Thread-safe; from the tree's own worker thread it throws RuntimeError instead.
  void stop_tree(const std::string& tree_id);
  // Stops every tree in creation order, then logs "停止所有行为树"; the first error ends it.
  // Thread-safe.
  void stop_all_trees();

  // Internals, public for hosts that build their own typed layer (the Python module) and tests.

  // Logs and throws ValueError "行为树ID X 不存在" unless the tree exists. Thread-safe.
  void _check_tree_exists(const std::string& tree_id) const;
  // Sends one command to the tree and returns its result value unchanged (empty any = none);
  // empty or absent `params` send an empty map. Errors as for the tree operations. Thread-safe.
  std::any _send_command(const std::string& tree_id, const std::string& command_type,
                         std::optional<core::AnyMap> params = std::nullopt);
  // Carries out one command on `engine` and leaves exactly one result record in `result`:
  // (type, tree id, value) on success; ("error", tree id, message), logged, for an unknown type
  // or an error of the engine call. Never throws for a failed command. Not thread-safe: only a
  // tree's worker calls it, on its own engine, under the tree's lock.
  void _process_command(WorkerEngine& engine, const CommandRecord& command,
                        const std::string& tree_id, std::optional<ResultRecord>& result);

 private:
  struct TreeRecord;
  struct State;
  enum class StopMode { kCaller, kDestructor };

  // Creation for both create_tree_from_text and create_tree_from_file; `file_path` is set when
  // `xml_text` is the text of that file.
  std::string create_tree(const std::string& xml_text, std::optional<std::string> file_path,
                          std::optional<std::string> tree_id);
  // The worker routine, the body of a tree's worker thread. It holds the state and its record
  // itself, so nothing it uses can go away under it. Builds from the text of the file at
  // `file_path` when one is given. Never throws.
  static void _run_tree(std::shared_ptr<State> state, std::shared_ptr<TreeRecord> record,
                        std::string xml_text, std::optional<std::string> file_path) noexcept;
  // The record under the id; nullptr when there is none or when it is `stale` (a record a stop
  // has taken over but not yet removed).
  static std::shared_ptr<TreeRecord> lookup_tree(const State& state, const std::string& tree_id,
                                                 const TreeRecord* stale = nullptr);
  // The same, but logs and throws ValueError "行为树ID X 不存在" instead of returning nullptr.
  static std::shared_ptr<TreeRecord> find_tree(const State& state, const std::string& tree_id,
                                               const TreeRecord* stale = nullptr);
  // Why a tree cannot be stopped: it is not there (ValueError) or the stop comes from its own
  // worker (RuntimeError). Logged and thrown by stop_trees in its place among the log lines.
  struct StopRefusal {
    bool missing;
    std::string message;
  };
  // Stopping in two phases, so that several trees are signalled before any is joined:
  // signal_stop asks a tick loop to end, waits for the command in progress, writes the stop
  // marker and makes the tree gone for its callers; finish_stop joins the worker, removes the
  // tree and logs. stop_trees does both for the ids in order (see stop_all_trees and the
  // destructor for the error handling of each mode); its log lines are those of stopping the
  // trees one after the other.
  static std::variant<std::shared_ptr<TreeRecord>, StopRefusal> signal_stop(
      State& state, const std::string& tree_id, StopMode mode);
  static void finish_stop(State& state, TreeRecord& record);
  static void stop_trees(State& state, const std::vector<std::string>& tree_ids, StopMode mode);

  core::BehaviorTreeFactory factory_;
  // Shared with the workers, and with callers still inside an operation while the engine is
  // destroyed: every operation works on its own copy of this pointer.
  std::shared_ptr<State> state_;
};

}  // namespace kelmora::engine::trigger

namespace kelmora {
using engine::trigger::ThreadEngine;
}
