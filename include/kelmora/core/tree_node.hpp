#pragma once
// TreeNode: one node of a behaviour tree, and the handle a tick function receives.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <kelmora/core/any.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>

#include <any>
#include <functional>
#include <memory>
#include <string>

namespace kelmora::core {

class Blackboard;

// What a node is, for the status map and for structural checks while building.
enum class NodeKind { ACTION, CONDITION, CONTROL, DECORATOR, SUBTREE };

std::string_view to_string(NodeKind kind) noexcept;

// A tick function: takes the node being ticked, returns its status.
using TickFunctor = std::function<NodeStatus(class TreeNode&)>;

// Everything a node is built with. `attributes` holds the XML attributes that bind its ports
// (port name -> literal text or "{key}" blackboard reference).
struct NodeConfig {
  std::string name;
  std::string registration_id;
  std::map<std::string, std::string> attributes;
  PortsList ports;
  std::shared_ptr<Blackboard> blackboard;
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

  // Ticks the node: runs onTick(), records and returns the status. An exception from a tick
  // function is rethrown as NodeTickError whose message begins with the node's name.
  NodeStatus executeTick();

  // Halts the node and its running descendants and sets them to IDLE.
  void haltNode();

  // The tree's blackboard this node reads and writes.
  const std::shared_ptr<Blackboard>& blackboard() const noexcept { return config_.blackboard; }

 protected:
  // The node's own behaviour. Named apart from `tick` so that action node classes can declare a
  // static `tick(TreeNode&)` without hiding it.
  virtual NodeStatus onTick() = 0;
  // Called by haltNode() when the node is RUNNING; controls and decorators halt their children.
  virtual void onHalt() {}
  void setStatus(NodeStatus status) noexcept { status_ = status; }

 private:
  NodeConfig config_;
  NodeStatus status_ = NodeStatus::IDLE;
};

}  // namespace kelmora::core
