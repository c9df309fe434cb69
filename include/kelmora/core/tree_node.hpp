#pragma once
// TreeNode: one node of a behaviour tree, and the handle a tick function receives.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <any>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/transitions.hpp>
#include <kelmora/core/wake_up_signal.hpp>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelmora::core {

class Blackboard;
struct ConditionScripts;
enum class ConditionAttribute : std::size_t;
namespace details {
struct NodeAccess;
}  // namespace details

// What a node is, for the status map and for structural checks while building.
enum class NodeKind { ACTION, CONDITION, CONTROL, DECORATOR, SUBTREE };

// "Action", "Condition", "Control", "Decorator" or "SubTree". Thread-safe.
std::string_view to_string(NodeKind kind) noexcept;

// A tick function: takes the node being ticked, returns its status.
using TickFunctor = std::function<NodeStatus(class TreeNode&)>;

// What the nodes of one tree share. The wake-up times wanted by the time-based nodes (Sleep,
// Delay, Timeout): those nodes never block a tick, they return RUNNING and ask to be ticked again
// at their deadline; the tree clears the request before every tick and tick loops wait for the
// earliest one. The tree's stop token (Tree::setStopToken), which nodes that loop inside one tick
// (Repeat, RetryUntilSuccessful) check between rounds. The tree's wake-up signal, which any node
// may emit from any thread (TreeNode::emitWakeUpSignal). And the failure of an `_onHalted` script:
// a halt never throws half-way (every node it reaches ends IDLE), so the failure is kept here and
// the tree reports it when the tick or halt in progress is over.
// Not thread-safe: owned by the tree's thread (the stop token's and the wake-up signal's own
// states are thread-safe; the signal is replaced only before the tree is ticked, by the engine
// that installs the tree).
class TreeTimers {
 public:
  using Clock = std::chrono::steady_clock;

  // The longest wait a node may ask for: a century, far beyond any real use and far from the
  // clock's limit, so that deadline arithmetic cannot overflow.
  static constexpr std::chrono::milliseconds kLongestWait{std::int64_t{100} * 365 * 24 * 3600 *
                                                          1000};

  // The time `msec` milliseconds after `now`: a negative count counts as zero, one beyond
  // kLongestWait as kLongestWait. Thread-safe.
  static Clock::time_point deadline_after(Clock::time_point now, std::int64_t msec) noexcept {
    const std::int64_t wait = msec < 0                      ? 0
                              : msec > kLongestWait.count() ? kLongestWait.count()
                                                            : msec;
    return now + std::chrono::milliseconds(wait);
  }

  // Asks for a tick at `when` (or earlier, when another node asked for an earlier time).
  void request_wakeup(Clock::time_point when) noexcept {
    if (!next_wakeup_ || when < *next_wakeup_) next_wakeup_ = when;
  }
  std::optional<Clock::time_point> next_wakeup() const noexcept { return next_wakeup_; }
  void clear() noexcept { next_wakeup_.reset(); }

  void set_stop_token(std::stop_token token) noexcept { stop_token_ = std::move(token); }
  const std::stop_token& stop_token() const noexcept { return stop_token_; }
  // Whether a stop was requested on the tree's token (by any thread).
  bool stop_requested() const noexcept { return stop_token_.stop_requested(); }

  // Keeps the first failure of a halt script until the tree takes it.
  void report_halt_failure(std::exception_ptr failure) noexcept {
    if (!halt_failure_) halt_failure_ = std::move(failure);
  }
  // The kept failure (null for none), forgotten here.
  std::exception_ptr take_halt_failure() noexcept { return std::exchange(halt_failure_, nullptr); }

  // The signal tick loops of this tree wait on between RUNNING ticks. Never null: a tree has a
  // signal of its own until an engine gives it the engine's (set it before the first tick).
  const std::shared_ptr<WakeUpSignal>& wake_up_signal() const noexcept { return wake_up_; }
  void set_wake_up_signal(std::shared_ptr<WakeUpSignal> signal) {
    if (signal) wake_up_ = std::move(signal);
  }

 private:
  std::optional<Clock::time_point> next_wakeup_;
  std::stop_token stop_token_;
  std::exception_ptr halt_failure_;
  std::shared_ptr<WakeUpSignal> wake_up_ = std::make_shared<WakeUpSignal>();
};

// Everything a node is built with. The tree builder fills it from the node type's registration
// and the XML element; code that makes nodes by hand (tests, trees assembled in C++) may leave
// any part empty.
struct NodeConfig {
  std::string name;
  std::string registration_id;
  // The node type's ports in declaration order, shared by every node of the type; null for none.
  std::shared_ptr<const std::vector<PortInfo>> ports;
  // How the element binds each port, in the order of `ports`; ports beyond its end are unbound.
  std::vector<PortBinding> bindings;
  std::shared_ptr<Blackboard> blackboard;
  // Shared by every node of one tree; may be null for nodes built outside a tree (tests).
  std::shared_ptr<TreeTimers> timers;
  // The element's condition attributes (`_skipIf`, `_post`, ...), parsed; null for none, which
  // is what nearly every node has (its ticks then cost one test more than without the feature).
  std::shared_ptr<const ConditionScripts> scripts;
};

class TreeNode {
 public:
  // Throws std::invalid_argument when `config` has more bindings than ports.
  explicit TreeNode(NodeConfig config);
  virtual ~TreeNode();
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  const std::string& name() const noexcept { return config_.name; }
  const std::string& registration_id() const noexcept { return config_.registration_id; }
  virtual NodeKind kind() const noexcept = 0;
  NodeStatus status() const noexcept { return status_; }
  // The node's id within its tree: its index in depth-first order from the root (0 for the root).
  // Set when a Tree is made of the nodes; 0 for nodes outside a tree.
  std::uint32_t uid() const noexcept { return uid_; }
  // What the node has done since its tree was built or reset (see transitions.hpp).
  const NodeCounters& counters() const noexcept { return counters_; }
  const NodeConfig& config() const noexcept { return config_; }
  // "node 'name' (registration id)": how errors name this node.
  std::string describe() const;

  // --- children ---------------------------------------------------------------------------
  // The children, in XML order (none for leaves).
  std::size_t childrenCount() const noexcept { return children_.size(); }
  // The child at `index`; std::out_of_range naming this node when there is none.
  TreeNode& child(std::size_t index) {
    if (index >= children_.size()) throwNoChild(index);
    return *children_[index];
  }
  const TreeNode& child(std::size_t index) const {
    if (index >= children_.size()) throwNoChild(index);
    return *children_[index];
  }
  // Every child, in order.
  std::vector<TreeNode*> children() const;

  // Adds a child at the end. The tree builder calls it for each child element in XML order,
  // after checking the number of children the node type allows, and then calls validate(). A
  // leaf refuses: TreeBuildError "node 'n' (id): this node type cannot hold children";
  // ControlNode and DecoratorNode accept. std::invalid_argument for a null child.
  virtual void addChild(std::unique_ptr<TreeNode> child);
  // Called once every child has been added, before the first tick: checks what only the whole
  // node can check (Parallel: literal thresholds against its number of children). Throws a
  // kelmora::Error naming the node and the problem; the builder reports it as a TreeBuildError
  // with the file and line of the element.
  virtual void validate() {}

  // --- ports -------------------------------------------------------------------------------
  // The node type's ports, in declaration order, and how this node's element binds each (same
  // order). Resolved when the tree was built.
  const std::vector<PortInfo>& ports() const noexcept;
  const std::vector<PortBinding>& portBindings() const noexcept { return config_.bindings; }
  // The binding of `port`; nullptr when the node has no such port.
  const PortBinding* portBinding(std::string_view port) const noexcept;
  // Whether the XML binds `port` (an attribute of that name was given).
  bool isPortBound(std::string_view port) const noexcept;

  // The input port's value as text: the literal attribute, or the text held by the referenced
  // blackboard entry. Throws PortError naming node and port when the port is not declared as an
  // input, is not bound by the XML, refers to an entry never written, or the entry holds no text.
  std::string getInputString(std::string_view port) const;

  // The input port's value as a value of any kind: a literal attribute as std::string, or the
  // referenced blackboard entry's value. An entry that was never written reads as an empty
  // std::any (none). Throws PortError naming node and port when the port is not declared as an
  // input or is not bound by the XML.
  std::any getInputObject(std::string_view port) const;

  // Writes `value` to the blackboard entry the output port refers to. Throws PortError naming node
  // and port when the port is not declared as an output or is not bound to a "{key}" reference.
  void setOutput(std::string_view port, std::any value);

  // --- running -----------------------------------------------------------------------------
  // Ticks the node: runs onTick(), records and returns the status. An exception from the tick
  // becomes a NodeTickError whose message begins with the node's name ("node 'Work' (Work):
  // <original message>"; an exception without text is named by its demangled type, "node
  // 'Work' (Work): std::runtime_error") and which carries the original exception nested
  // (std::rethrow_if_nested reaches it). A PortError of this node's own ports already names it
  // and keeps its text; a NodeTickError from a descendant and a TreeStoppedError (a stop that
  // ended the tick) pass unchanged. A tick that returns IDLE is reported as a NodeTickError too.
  // A node whose tick threw counts as RUNNING until it is halted, so that a halt reaches whatever
  // it had started.
  // A condition (NodeKind::CONDITION) that returns RUNNING fails the same way ("node 'n' (id): a
  // condition must not return RUNNING"). A node made from a registered node class (see
  // BehaviorTreeFactory::register_node_class) that completes (SUCCESS, FAILURE or SKIPPED) has its
  // children halted by the core afterwards, so that none is left RUNNING.
  // A node with condition attributes checks them around onTick() (docs/scripting.md): a start
  // condition may decide the result without onTick(), `_while` may halt a RUNNING node, and the
  // post scripts run after SUCCESS and FAILURE. A script that fails throws a NodeTickError naming
  // the node and the attribute, with the ScriptError nested.
  NodeStatus executeTick() {
    ++counters_.ticks;
    const NodeStatus result = config_.scripts ? executeTickWithScripts() : tickOwnCode();
    counters_.successes += result == NodeStatus::SUCCESS;
    counters_.failures += result == NodeStatus::FAILURE;
    counters_.skips += result == NodeStatus::SKIPPED;
    return result;
  }

  // Halts the node and sets it and its descendants to IDLE. A RUNNING node first drops its
  // progress (onHalt()); its children are then halted the same way; last its `_onHalted` script
  // runs, if it has one. A completed node is only set to IDLE with its descendants, without
  // onHalt() (it dropped its progress when it completed). An IDLE node is left as it is: nothing
  // below an IDLE node is anything but IDLE.
  // An exception from onHalt() becomes a NodeTickError naming the node, as one from its tick
  // does; the halt still goes on through every child (and the node ends IDLE) before the first
  // failure is thrown. A failing `_onHalted` script does not throw here: it is reported through
  // the tree's TreeTimers (Tree::tickOnce and Tree::haltTree throw it once the whole halt is
  // done); a node built outside a tree (no timers) throws it at once.
  void haltNode() {
    if (status_ == NodeStatus::IDLE) return;
    if (status_ != NodeStatus::RUNNING && children_.empty()) {
      setStatus(NodeStatus::IDLE);  // a completed leaf: nothing to drop
      return;
    }
    haltActiveNode();
  }

  // Halts the node and its descendants and makes them forget what they keep across halts (a
  // RunOnce that already ran runs again). Used when a whole tree is reset. Like haltNode(), it
  // goes through the whole subtree before it throws the first failure.
  void resetNode();

  // The tree's blackboard this node reads and writes.
  const std::shared_ptr<Blackboard>& blackboard() const noexcept { return config_.blackboard; }

  // --- waking the tree ---------------------------------------------------------------------
  // Asks for the tree to be ticked again soon: a tick loop waiting between RUNNING ticks (see
  // SequentialEngine::tick_until_success) ticks at once, and one that is ticking now ticks again
  // without waiting. For work that ends outside the tree's ticks: a piece of a streamed answer
  // arrived, a thread finished, a message came. Does nothing for a node built outside a tree.
  // Thread-safe: callable from any thread while the node exists.
  void emitWakeUpSignal() const noexcept {
    if (config_.timers) config_.timers->wake_up_signal()->emit();
  }
  // The tree's wake-up signal, for a thread that may outlive the node (it stays valid as long as
  // it is held; emitting it after the tree is gone does nothing). Null for a node built outside a
  // tree. Thread-safe.
  std::shared_ptr<WakeUpSignal> wakeUpSignal() const {
    return config_.timers ? config_.timers->wake_up_signal() : nullptr;
  }

 protected:
  // The node's own behaviour. Named apart from `tick` so that action node classes can declare a
  // static `tick(TreeNode&)` without hiding it. Must not return IDLE.
  virtual NodeStatus onTick() = 0;
  // Called when a RUNNING node is halted (by its parent, when a tick threw, when the tree is
  // halted), before its children are halted: drop the progress of the current run (indices,
  // counters, deadlines). A node that completes drops it itself, as it completes.
  virtual void onHalt() {}
  // Called by resetNode() after halting: drops state that survives a halt.
  virtual void onReset() {}
  // Records the node's status during its tick: a node that ticks children sets RUNNING before
  // the first, so that a halt reaches them however the tick ends. IDLE is only set by halting.
  // Every change of a node's status passes through here: it is counted and, while the tree is
  // recorded, logged as a transition (see transitions.hpp).
  void setStatus(NodeStatus status) noexcept {
    if (status == status_) return;
    if (log_ != nullptr) {
      counters_.last_change = log_->recording() ? recordChange(status) : log_->step_time();
    }
    status_ = status;
  }

  // For nodes with children: appends a child (for addChild overrides), halts one child, or the
  // children from `first` on (each ends IDLE with its descendants; see haltNode()).
  // A failure to halt one child does not stop the others from being halted; the first one is
  // thrown once all are done.
  void appendChild(std::unique_ptr<TreeNode> child);
  void haltChild(std::size_t index) { child(index).haltNode(); }
  void haltChildren(std::size_t first = 0);

  // An integer input port, or `fallback` when the port is unbound. A literal was converted when
  // the tree was built; an entry holding text is parsed; an entry holding a number (see
  // any_as_scalar: C++ integers, whole floating-point numbers, a host's numbers) gives its value.
  // Throws PortError naming node and port for anything else: text that is no integer, a
  // fraction, a number beyond the std::int64_t range, a bool, a value of another kind.
  std::int64_t getInputInt(std::string_view port, std::int64_t fallback) const;
  // A boolean input port, or `fallback` when unbound: a literal or text "true"/"false" (any
  // case), or an entry holding a bool (C++ or a host's). Throws PortError naming node and port
  // for anything else.
  bool getInputBool(std::string_view port, bool fallback) const;
  // The tree's timers; null when the node was built outside a tree.
  TreeTimers* timers() const noexcept { return config_.timers.get(); }

 private:
  friend class Tree;
  // executeTick without condition attributes: onTick(), its failures made NodeTickErrors.
  NodeStatus tickOwnCode() {
    NodeStatus result;
    try {
      result = onTick();
    } catch (...) {
      setStatus(NodeStatus::RUNNING);  // it may have started something: a halt must reach it
      rethrowAsTickError();
    }
    if (result == NodeStatus::IDLE) throwIdleResult();
    if (result == NodeStatus::RUNNING && kind() == NodeKind::CONDITION) throwRunningCondition();
    setStatus(result);
    // Halting may fail (a NodeTickError naming the child); the node stays completed then.
    if (result != NodeStatus::RUNNING && halt_children_on_completion_) haltChildren();
    return result;
  }
  // executeTick with condition attributes, and its helpers (tree_node_scripts.cpp): the value of
  // a condition, running a script, and what a failing script throws.
  NodeStatus executeTickWithScripts();
  bool evaluateCondition(ConditionAttribute attribute);
  void runScript(ConditionAttribute attribute);
  [[noreturn]] void throwScriptFailure(ConditionAttribute attribute);
  void runHaltedScript();
  void haltActiveNode();
  // Logs the change to `status` as a transition and returns its time. Never throws: a change
  // that cannot be logged (no memory) is dropped from the log.
  TransitionLog::Clock::time_point recordChange(NodeStatus status) noexcept;
  // executeTick's failure paths, kept out of line: the exception being handled as a
  // NodeTickError, and the error for a tick that returned IDLE.
  [[noreturn]] void rethrowAsTickError();
  [[noreturn]] void throwIdleResult();
  [[noreturn]] void throwRunningCondition();
  [[noreturn]] void throwNoChild(std::size_t index) const;
  // The index of `port` in ports(); npos when there is none.
  std::size_t portIndex(std::string_view port) const noexcept;
  // The binding of a port that this use may read (`write` false) or write; PortError naming node
  // and port when there is no such port, its direction forbids the use, or it is unbound.
  const PortBinding& usableBinding(std::string_view port, bool write) const;
  // The value of the entry an ENTRY binding refers to; PortError "... which was never written"
  // when there is none. The reference is valid until the blackboard is next written.
  const std::any& entryValue(std::string_view port, const PortBinding& binding) const;
  // For the typed reads: the binding of a bound input, nullptr when it is unbound (PortError as
  // usableBinding for a bound port that cannot be read); and its text (the literal, or the text
  // of the entry), or std::nullopt with the entry's value in `held`.
  const PortBinding* boundInput(std::string_view port) const;
  std::optional<std::string> inputText(std::string_view port, const PortBinding& binding,
                                       std::any& held) const;
  // Throws PortError "port 'p' refers to blackboard entry 'k', which holds K, not <wanted>".
  [[noreturn]] void throwWrongKind(std::string_view port, const std::string& key,
                                   const std::any& value, std::string_view wanted) const;

  friend struct details::NodeAccess;

  NodeConfig config_;
  NodeStatus status_ = NodeStatus::IDLE;
  // The log of the tree the node belongs to (null outside a tree) and the node's id there; set
  // by the Tree.
  TransitionLog* log_ = nullptr;
  std::uint32_t uid_ = 0;
  NodeCounters counters_;
  // Set for nodes made from a registered node class (details::NodeAccess): the core halts their
  // children when they complete.
  bool halt_children_on_completion_ = false;
  std::vector<std::unique_ptr<TreeNode>> children_;
};

// Calls visit(node, depth) for `root` (depth 0) and every node below it, depth first with
// children in order (a SubTree's nodes follow the SubTree node). `Node` is TreeNode or
// const TreeNode. Uses no recursion, so the depth of a tree cannot exhaust the stack.
template <class Node, class Visit>
void visit_depth_first(Node& root, Visit&& visit) {
  std::vector<std::pair<Node*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    visit(*node, depth);
    for (std::size_t i = node->childrenCount(); i > 0; --i) {
      stack.emplace_back(&node->child(i - 1), depth + 1);
    }
  }
}

}  // namespace kelmora::core
