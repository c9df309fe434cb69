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
//
// Errors: every exception is a kelmora::Error (see kelmora/core/errors.hpp) whose code tells the
// failures apart. A command that failed in the worker throws RuntimeError with
// Errc::command_failed and the exception the operation threw nested in it
// (std::rethrow_if_nested reaches, through the core's NodeTickError, what a tick function threw,
// with its own type and data).

#include <any>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/node_class.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/core/type_name.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <kelmora/observe/observer.hpp>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace kelmora::engine::trigger {

namespace details {
struct EngineState;
struct EngineAccess;
}  // namespace details

// How an engine's channels and tick loops wait. The defaults suit most programs.
struct EngineOptions {
  // How long a caller waiting for a result, and a worker waiting for the next command, spin
  // before they sleep. Zero never spins. Keep it to a few microseconds so that idle trees use no
  // CPU; spinning is skipped on single-core machines.
  std::chrono::nanoseconds spin_time = std::chrono::microseconds(4);
  // The longest wait between two RUNNING ticks of every tree's tick loops (see
  // SequentialEngine::set_tick_period); set_tick_period changes it for one tree. Must not be
  // negative.
  std::chrono::nanoseconds tick_period = std::chrono::milliseconds(10);
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

// Describes the C++ class T: name from its type without namespace, derivation from
// SimpleActionNode, `T::tick` if T has a static tick(TreeNode&), `T::ports` if T has a static
// ports list.
template <class T>
ActionClass action_class() {
  ActionClass cls;
  cls.name = core::short_type_name(typeid(T));
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

// What the engine holds about one tree: its id, the XML it was created from, the file that XML
// was read from (none for text) and when it was created.
// A tree created from a registered BehaviorTree (create_tree_by_name) holds the document that
// defines it (xml_text, file_path) and its BehaviorTree ID (tree_name; none for the others).
struct TreeInfo {
  std::string tree_id;
  std::string xml_text;
  std::optional<std::string> file_path;
  std::chrono::system_clock::time_point created_at;
  std::optional<std::string> tree_name;
};

class ThreadEngine {
 public:
  // Makes the factory and the empty engine state, then logs "初始化线程引擎".
  ThreadEngine();
  explicit ThreadEngine(EngineOptions options);
  // Stops every tree in creation order (as stop_all_trees, whose log lines it writes) and refuses
  // creations from then on. Never throws. Callers still waiting on a tree get their result (a
  // running tick loop is asked to end first) or, if queued behind the stop, the ValueError of a
  // missing tree. Every worker is joined; one that cannot be waited for here, because the
  // destruction runs inside its tick (or inside a tick it waits for), is told to leave after its
  // command in progress and is joined by the process's reaper thread once it ends. In a forked
  // child it does nothing (the state is kept: its locks may belong to threads of the parent).
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
  // SimpleActionNode"; a class without a static tick: AttributeError naming the class (nothing
  // logged). Thread-safe.
  void register_action_class(const ActionClass& action_class,
                             std::optional<std::string> action_id = std::nullopt);
  // The same for the C++ class T (see action_class<T>()). Thread-safe.
  template <class T>
  void register_action_class(std::optional<std::string> action_id = std::nullopt) {
    register_action_class(trigger::action_class<T>(), std::move(action_id));
  }

  // Registers a condition from a tick function (see
  // BehaviorTreeFactory::register_condition_behavior) for the trees created later: checked as
  // register_action_behavior checks (ValueError, nothing logged or stored), then logs
  // "注册动作节点: " + id and is kept with the other registrations, in order. Thread-safe.
  void register_condition_behavior(const std::string& condition_id, core::TickFunctor tick_functor,
                                   core::PortsList ports_list);

  // Registers a node class (see BehaviorTreeFactory::register_node_class) for the trees created
  // later, under `node_id` or, when absent, the class's own name. A class of no known kind: logs
  // at error level and throws TypeError (core::unknown_node_class_message); an id or ports the
  // core refuses: ValueError with the core's text, nothing logged. Then logs "注册动作节点: " +
  // id and is kept with the other registrations, in order: each tree's worker replays them all
  // into its engine, so a later registration of an id wins over an earlier one of any kind. The
  // class's creator is copied to every worker and called there, once per element. Thread-safe.
  void register_node_class(const core::NodeClass& node_class,
                           std::optional<std::string> node_id = std::nullopt);
  // The same for the C++ class T (see core::node_class<T>()). Thread-safe.
  template <class T>
  void register_node_class(std::optional<std::string> node_id = std::nullopt) {
    register_node_class(core::node_class<T>(), std::move(node_id));
  }

  // A copy of the action registrations (register_action_behavior and register_action_class
  // only), in registration order. Thread-safe.
  std::vector<ActionRegistration> action_registrations() const;

  // Registers an enum name the scripts of trees created later know (`state == BUSY`), as
  // BehaviorTreeFactory::register_scripting_enum does: a refused name (not an identifier, or
  // registered before with another value) throws ValueError, nothing logged or stored. Logs
  // "注册脚本枚举: " + name + " = " + value. Replayed, in registration order with every other
  // registration, into the engine of every tree created afterwards. Thread-safe.
  void register_scripting_enum(const std::string& name, std::int64_t value);
  // Several names at once (a whole enum), all or nothing; one log line per name. Thread-safe.
  void register_scripting_enums(const std::vector<std::pair<std::string, std::int64_t>>& values);

  // Registers the BehaviorTrees of an XML text, a file, or every *.xml file below a folder, for
  // the SubTrees of trees created later and for create_tree_by_name (see
  // BehaviorTreeFactory::register_trees). The documents are read and checked here, on the
  // caller's thread: a document that cannot be read or parsed, or an ID registered before from
  // another document, throws (TreeFileError, TreeBuildError), nothing logged or stored. A tree
  // that names an unknown node fails when a tree using it is built. Logs "注册行为树定义: " + ID
  // for each tree, and returns the IDs in document order. Replayed, in registration order, into
  // the engine of every tree created afterwards (each shares the parsed documents). Thread-safe.
  std::vector<std::string> register_tree_text(const std::string& xml_text);
  std::vector<std::string> register_tree_file(const std::string& path);
  std::vector<std::string> register_tree_folder(const std::string& path);

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
  // Creates a tree from the registered BehaviorTree `tree_name` (see register_tree_text), as
  // create_tree_from_text does otherwise (id, log line, duplicate ids, the worker builds it). An
  // ID that is not registered throws TreeBuildError naming it and the registered ones, nothing
  // logged or created. Thread-safe.
  std::string create_tree_by_name(const std::string& tree_name,
                                  std::optional<std::string> tree_id = std::nullopt);
  // The ids of all trees, in creation order; a tree being stopped is no longer listed.
  // Thread-safe.
  std::vector<std::string> get_tree_ids() const;
  // What the engine holds about each of those trees, in the same order (a copy). Thread-safe.
  std::vector<TreeInfo> trees() const;

  // Tree operations: one synchronous command each, carried out by the tree's worker on its
  // SequentialEngine (same name, same result). Unknown tree: logs and throws ValueError
  // "行为树ID X 不存在". Failed command: logs the worker's line "处理命令 Y 时发生错误: ..." and
  // then its own, and throws RuntimeError "行为树 X 执行命令 Y 失败: 处理命令 Y 时发生错误: ..."
  // (Errc::command_failed, the operation's exception nested), where Y is the command type:
  // "tick_once", "tick_until_failure", "tick_until_success", "tick_n_times", "get_status",
  // "get_blackboard_data", "set_blackboard_data", "get_all_blackboard_data", "reset". A worker
  // that failed while starting: the first command gets its error (Errc::worker_failed), later ones
  // "... 失败: 工作线程已结束" at once (Errc::worker_ended). Called from the tree's own worker
  // thread: logs and throws RuntimeError (Errc::own_thread). Thread-safe: callers of one tree are
  // served one at a time, each gets its own command's result.
  core::NodeStatus tick_once(const std::string& tree_id);
  std::int64_t tick_until_failure(const std::string& tree_id);
  std::int64_t tick_until_success(const std::string& tree_id);
  std::vector<core::NodeStatus> tick_n_times(const std::string& tree_id, std::int64_t n);
  // The same loops with a cancel token of this command's own: a stop requested on `cancel` (from
  // another thread) ends this loop only, promptly, with the tree halted on its worker; the
  // command fails as a stopped loop does ("... 失败: 处理命令 Y 时发生错误: tick loop was
  // cancelled"), and the tree stays usable.
  std::int64_t tick_until_failure(const std::string& tree_id, std::stop_token cancel);
  std::int64_t tick_until_success(const std::string& tree_id, std::stop_token cancel);
  std::vector<core::NodeStatus> tick_n_times(const std::string& tree_id, std::int64_t n,
                                             std::stop_token cancel);
  core::AnyMap get_tree_status(const std::string& tree_id);
  // The entry under `key`; an empty std::any when it was never written.
  std::any get_blackboard_data(const std::string& tree_id, const std::string& key);
  void set_blackboard_data(const std::string& tree_id, const std::string& key, std::any value);
  core::AnyMap get_all_blackboard_data(const std::string& tree_id);
  void reset_tree(const std::string& tree_id);
  // Sets the tree's tick period (see SequentialEngine::set_tick_period), a command of type
  // "set_tick_period": it takes effect from the tree's next tick loop. ValueError for a negative
  // period (nothing sent).
  void set_tick_period(const std::string& tree_id, std::chrono::nanoseconds period);

  // The application's wake-up of the tree: a tick loop of the tree waiting between RUNNING ticks
  // ticks at once (one emitted while no loop waits ends the next wait at once). Not a command:
  // it reaches the worker while it runs a tick loop, and waits for nothing. Unknown tree: logs
  // and throws ValueError "行为树ID X 不存在". Thread-safe.
  void emit_wake_up_signal(const std::string& tree_id);

  // Takes the tree over (from then on it is gone for commands and not listed), asks a running
  // tick loop of the tree to end (it ends at once, even while it waits between ticks, and halts
  // the tree), waits for the command in progress (its caller gets its result), ends the worker,
  // which halts the tree's RUNNING nodes before it ends, joins it, removes the tree and logs
  // "停止行为树: " + id. Every halt runs on the worker, before this returns. Unknown
  // tree, or one another thread is stopping: logs and throws ValueError "行为树ID X 不存在".
  // From the tree's own worker thread, or when the wait would close a cycle of waiting trees:
  // logs and throws RuntimeError, nothing stopped. Thread-safe.
  void stop_tree(const std::string& tree_id);
  // Stops every tree present, in creation order, then logs "停止所有行为树". A tree another thread
  // is stopping, or has stopped since, counts as stopped (it waits for a stop still under way).
  // A refusal (its own tree, a cycle of waits) ends it: logged and thrown, the trees after it
  // left running. Thread-safe.
  void stop_all_trees();

  // --- observation (docs/observe.md) ---------------------------------------------------------
  using ObserverId = std::uint64_t;

  // Attaches `observer` to every tree of the engine, present and future (no id), or to the tree
  // `tree_id`; returns an id for remove_observer. Its calls come from the trees' worker threads
  // after each tick step (see kelmora/observe/observer.hpp). An unknown tree: logs and throws
  // ValueError "行为树ID X 不存在". A null observer: std::invalid_argument. Thread-safe.
  ObserverId add_observer(std::shared_ptr<observe::Observer> observer,
                          std::optional<std::string> tree_id = std::nullopt);
  // The same with a function called once per transition. Thread-safe.
  ObserverId add_transition_observer(observe::TransitionCallback callback,
                                     std::optional<std::string> tree_id = std::nullopt);
  // Detaches the observer; false when the id is unknown (or already removed). A tick step in
  // progress may still call it once. Thread-safe.
  bool remove_observer(ObserverId id);

  // Records every transition of every tree to the SQLite database at `path` (created when
  // missing; tables added when absent; schema in docs/observe.md). Writing happens on a writer
  // thread, in batches: ticks never wait for the disk. Throws RuntimeError "cannot record to
  // '<path>': <reason>" when the file cannot be opened or written, and RuntimeError "already
  // recording to '<path>'" while a recording runs. A write that fails later is logged once at
  // error level and ends the recording; the trees go on. Thread-safe.
  void start_recording(const std::string& path);
  // Writes what is queued, closes the database and ends the recording; nothing when none runs.
  // Thread-safe.
  void stop_recording();

  // Starts the live monitor (an HTTP server on `host`:`port`; port 0 picks a free one) and
  // returns its URL, "http://127.0.0.1:PORT/". A monitor already running: returns its URL.
  // Throws RuntimeError "cannot serve the monitor on HOST:PORT" when it cannot listen.
  // Thread-safe.
  std::string serve_monitor(const std::string& host = "127.0.0.1", int port = 0);
  // Stops the monitor; nothing when none runs. Thread-safe.
  void stop_monitor();

  // The tree as Graphviz text (see core::to_dot), made by the tree's worker as a command of type
  // "tree_to_dot", with the errors of every tree operation. Thread-safe.
  std::string tree_to_dot(const std::string& tree_id);

 private:
  friend struct details::EngineAccess;

  core::BehaviorTreeFactory factory_;
  // Shared with the workers, and with callers still inside an operation while the engine is
  // destroyed: every operation works on its own copy of this pointer.
  std::shared_ptr<details::EngineState> state_;
};

}  // namespace kelmora::engine::trigger

namespace kelmora {
using engine::trigger::EngineOptions;
using engine::trigger::ThreadEngine;
}  // namespace kelmora
