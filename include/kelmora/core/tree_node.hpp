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
#include <string>
#include <string_view>
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
// Not thread-safe: owned by the tree's thread.
class TreeTimers {
 public:
  using Clock = std::chrono::steady_clock;

  // Asks for a tick at `when` (or earlier, when another node asked for an earlier time).
  void request_wakeup(Clock::time_point when) noexcept {
    if (!next_wakeup_ || when < *next_wakeup_) next_wakeup_ = when;
  }
  std::optional<Clock::time_point> next_wakeup() const noexcept { return next_wakeup_; }
  void clear() noexcept { next_wakeup_.reset(); }

 private:
  std::optional<Clock::time_point> next_wakeup_;
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
  // ("node 'Work' (Work): <original message>"); a NodeTickError from a descendant passes
  // unchanged. A tick that returns IDLE is reported the same way.
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

  // An integer input port, or `fallback` when the port is unbound. Throws PortError when the
  // value is no integer.
  std::int64_t getInputInt(const std::string& port, std::int64_t fallback) const;
  // A boolean input port ("true"/"false", any case), or `fallback` when unbound.
  bool getInputBool(const std::string& port, bool fallback) const;
  // The tree's timers; null when the node was built outside a tree.
  TreeTimers* timers() const noexcept { return config_.timers.get(); }

 private:
  const PortDescription* findPort(const std::string& port) const noexcept;
  const std::string& boundValue(const std::string& port, std::string_view direction) const;

  NodeConfig config_;
  NodeStatus status_ = NodeStatus::IDLE;
};

}  // namespace kelmora::core
