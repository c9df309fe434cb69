#pragma once
// TreeNode: one node of a behaviour tree, and the handle a tick function receives.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <any>
#include <chrono>
#include <cstdint>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelmora::core {

class Blackboard;

// What a node is, for the status map and for structural checks while building.
enum class NodeKind { ACTION, CONDITION, CONTROL, DECORATOR, SUBTREE };

// "Action", "Condition", "Control", "Decorator" or "SubTree". Thread-safe.
std::string_view to_string(NodeKind kind) noexcept;

// A tick function: takes the node being ticked, returns its status.
using TickFunctor = std::function<NodeStatus(class TreeNode&)>;

// The wake-up times wanted by the time-based nodes of one tree (Sleep, Delay, Timeout). Those
// nodes never block a tick: they return RUNNING and ask to be ticked again at their deadline.
// The tree clears the request before every tick; tick loops wait for the earliest one.
// It also carries the tree's stop token (Tree::setStopToken), which nodes that loop inside one
// tick (Repeat, RetryUntilSuccessful) check between rounds.
// Not thread-safe: owned by the tree's thread (the stop token's own state is thread-safe).
class TreeTimers {
 public:
  using Clock = std::chrono::steady_clock;

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

 private:
  std::optional<Clock::time_point> next_wakeup_;
  std::stop_token stop_token_;
};

// Everything a node is built with. `attributes` holds the XML attributes that bind its ports
// (port name -> literal text or "{key}" blackboard reference).
struct NodeConfig {
  std::string name;
  std::string registration_id;
  std::map<std::string, std::string> attributes;
  PortsList ports;
  std::shared_ptr<Blackboard> blackboard;
  // Shared by every node of one tree; may be null for nodes built outside a tree (tests).
  std::shared_ptr<TreeTimers> timers;
};

class TreeNode {
 public:
  explicit TreeNode(NodeConfig config);
  virtual ~TreeNode();
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  const std::string& name() const noexcept { return config_.name; }
  const std::string& registration_id() const noexcept { return config_.registration_id; }
  virtual NodeKind kind() const noexcept = 0;
  NodeStatus status() const noexcept { return status_; }
  const NodeConfig& config() const noexcept { return config_; }
  // "node 'name' (registration id)": how errors name this node.
  std::string describe() const;

  // The node's children, in order (none for leaves).
  virtual std::vector<TreeNode*> children() const { return {}; }

  // The input port's value as text: the literal attribute, or the text held by the referenced
  // blackboard entry. Throws PortError naming node and port when the port is not declared as an
  // input, is not bound by the XML, refers to an entry never written, or the entry holds no text.
  std::string getInputString(const std::string& port) const;

  // The input port's value as a value of any kind: a literal attribute as std::string, or the
  // referenced blackboard entry's value. An entry that was never written reads as an empty
  // std::any (none). Throws PortError naming node and port when the port is not declared as an
  // input or is not bound by the XML.
  std::any getInputObject(const std::string& port) const;

  // Writes `value` to the blackboard entry the output port refers to. Throws PortError naming node
  // and port when the port is not declared as an output or is not bound to a "{key}" reference.
  void setOutput(const std::string& port, std::any value);

  // Whether the XML binds `port` (an attribute of that name was given).
  bool isPortBound(const std::string& port) const noexcept;

  // Ticks the node: runs onTick(), records and returns the status. An exception from a tick
  // function is rethrown as NodeTickError whose message begins with the node's name
  // ("node 'Work' (Work): <original message>"; an exception without text is named by its
  // demangled type, "node 'Work' (Work): std::runtime_error"); a NodeTickError from a descendant
  // and a TreeStoppedError (a stop that ended the tick) pass unchanged. A tick that returns IDLE
  // is reported as a NodeTickError too.
  NodeStatus executeTick();

  // Halts the node and its running descendants and sets them to IDLE.
  void haltNode();

  // Halts the node and its descendants and makes them forget what they keep across halts (a
  // RunOnce that already ran runs again). Used when a whole tree is reset.
  void resetNode();

  // The tree's blackboard this node reads and writes.
  const std::shared_ptr<Blackboard>& blackboard() const noexcept { return config_.blackboard; }

 protected:
  // The node's own behaviour. Named apart from `tick` so that action node classes can declare a
  // static `tick(TreeNode&)` without hiding it.
  virtual NodeStatus onTick() = 0;
  // Called by haltNode() before the node is set to IDLE: controls and decorators halt their
  // children, stateful nodes drop their progress (indices, counters, deadlines).
  virtual void onHalt() {}
  // Called by resetNode() after halting: drops state that survives a halt.
  virtual void onReset() {}
  void setStatus(NodeStatus status) noexcept { status_ = status; }

  // An integer input port, or `fallback` when the port is unbound. Text (the literal, or an
  // entry holding text) is parsed; an entry holding a number (see any_as_scalar: C++ integers,
  // whole floating-point numbers, a host's numbers) gives its value. Throws PortError naming node
  // and port for anything else: text that is no integer, a fraction, a number beyond the
  // std::int64_t range, a bool, a value of another kind.
  std::int64_t getInputInt(const std::string& port, std::int64_t fallback) const;
  // A boolean input port, or `fallback` when unbound: text "true"/"false" (any case), or an entry
  // holding a bool (C++ or a host's). Throws PortError naming node and port for anything else.
  bool getInputBool(const std::string& port, bool fallback) const;
  // The tree's timers; null when the node was built outside a tree.
  TreeTimers* timers() const noexcept { return config_.timers.get(); }

 private:
  const PortDescription* findPort(const std::string& port) const noexcept;
  // The input port's value: the literal as std::string, or the referenced entry's value (its key
  // stored in `key`). Throws PortError as getInputString does, never-written entries included.
  std::any inputValue(const std::string& port, std::string& key) const;
  // Throws PortError "port 'p' refers to blackboard entry 'k', which holds K, not <wanted>".
  [[noreturn]] void throwWrongKind(const std::string& port, const std::string& key,
                                   const std::any& value, std::string_view wanted) const;
  const std::string& boundValue(const std::string& port, std::string_view direction) const;

  NodeConfig config_;
  NodeStatus status_ = NodeStatus::IDLE;
};

}  // namespace kelmora::core
