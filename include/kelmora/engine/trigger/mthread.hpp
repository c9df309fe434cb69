#pragma once
// ThreadEngine: runs behaviour trees concurrently, one worker thread per tree, each with its own
// single-threaded engine, driven from any caller thread by synchronous commands.
//
// Thread-safety: every public operation is thread-safe. Commands to one tree are served one at a
// time, in the order callers obtain the tree; commands to different trees run in parallel.
// A tree's operations must not be called from that tree's own worker thread (they fail with a
// RuntimeError instead of deadlocking); calling other trees from a tick function is fine.

#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/engine/trigger/worker_engine.hpp>
#include <kelmora/nodes/action_node.hpp>

#include <any>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <typeinfo>
#include <type_traits>
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
  if constexpr (requires(core::TreeNode& n) {
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
  // Test and host seams: how each worker makes its engine, and how a worker thread is started.
  struct Options {
    // Makes the worker's engine; by default a SequentialEngine.
    std::function<std::unique_ptr<WorkerEngine>()> make_engine;
    // Starts `body` on a new thread; by default std::thread. May throw (creation then fails and
    // withdraws the tree).
    std::function<std::thread(std::function<void()> body)> start_thread;
  };

  // Logs "初始化线程引擎".
  ThreadEngine();
  explicit ThreadEngine(Options options);
  // Stops every tree (as stop_all_trees); never throws, never leaves a thread running.
  ~ThreadEngine();
  ThreadEngine(const ThreadEngine&) = delete;
  ThreadEngine& operator=(const ThreadEngine&) = delete;

  // Held for the engine's lifetime and open to callers; no operation of the engine reads it.
  // Not thread-safe: callers that use it from several threads serialise themselves.
  core::BehaviorTreeFactory& factory() noexcept { return factory_; }

  // Stores an action registration for trees created later; logs "注册动作节点: " + id.
  void register_action_behavior(const std::string& action_id, core::TickFunctor tick_functor,
                                core::PortsList ports_list);

  // Registers an action node class under `action_id` or, when absent, the class's own name.
  // Throws TypeError "节点类 X 必须继承自SimpleActionNode" (logged at error level first) when the
  // class does not derive from SimpleActionNode, AttributeError when it has no static tick.
  void register_action_class(const ActionClass& action_class,
                             std::optional<std::string> action_id = std::nullopt);
  template <class T>
  void register_action_class(std::optional<std::string> action_id = std::nullopt) {
    register_action_class(trigger::action_class<T>(), std::move(action_id));
  }

  // A snapshot of the registrations, in registration order.
  std::vector<ActionRegistration> action_registrations() const;

  // Creates a tree under `tree_id` (or "tree_" + number of trees) and starts its worker; returns
  // the id without waiting for the tree to be built. Throws ValueError "行为树ID X 已存在".
  std::string create_tree_from_text(const std::string& xml_text,
                                    std::optional<std::string> tree_id = std::nullopt);
  // Reads the UTF-8 file (CRLF and lone CR become LF) and creates the tree from its text.
  std::string create_tree_from_file(const std::string& file_path,
                                    std::optional<std::string> tree_id = std::nullopt);
  // The ids of all trees, in creation order.
  std::vector<std::string> get_tree_ids() const;

  // Tree operations: one synchronous command each. Unknown tree: ValueError "行为树ID X 不存在";
  // failed command: RuntimeError "行为树 X 执行命令 Y 失败: ..."; result of the wrong kind:
  // TypeError "Expected int|list|dict, got K". A none result comes back as std::nullopt.
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

  // Ends the tree's worker, waits for it and removes the tree; logs "停止行为树: " + id.
  void stop_tree(const std::string& tree_id);
  // Stops every tree in creation order, then logs "停止所有行为树".
  void stop_all_trees();

  // Internals, public for hosts that build their own typed layer (the Python module) and tests.
  void _check_tree_exists(const std::string& tree_id) const;
  std::any _send_command(const std::string& tree_id, const std::string& command_type,
                         std::optional<core::AnyMap> params = std::nullopt);
  void _process_command(WorkerEngine& engine, const CommandRecord& command,
                        const std::string& tree_id, std::optional<ResultRecord>& result);

 private:
  struct TreeRecord;
  struct State;
  void _run_tree(std::shared_ptr<TreeRecord> record, std::string tree_id, std::string xml_text);

  core::BehaviorTreeFactory factory_;
  std::shared_ptr<State> state_;
};

}  // namespace kelmora::engine::trigger

namespace kelmora {
using engine::trigger::ThreadEngine;
}
