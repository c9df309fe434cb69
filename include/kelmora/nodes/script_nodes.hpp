#pragma once
// The nodes that run scripts: Script (an action), ScriptCondition (a condition) and Precondition
// (a decorator). Each parses its script when it is made, so a tree with a script that cannot be
// parsed is not built; docs/scripting.md describes them.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <kelmora/core/node_status.hpp>
#include <kelmora/core/scripting.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <optional>
#include <string_view>

namespace kelmora::nodes {

// Runs the script of its `code` port and returns SUCCESS. Throws core::TreeBuildError when made
// with `code` unbound, bound to a blackboard reference, or not parseable (naming the node, the
// attribute and the position in the script).
class ScriptNode : public core::TreeNode {
 public:
  explicit ScriptNode(core::NodeConfig config);
  core::NodeKind kind() const noexcept override { return core::NodeKind::ACTION; }

 protected:
  core::NodeStatus onTick() override;

 private:
  core::scripting::Script script_;
};

// Evaluates the script of its `code` port as a condition: 1 gives SUCCESS, 0 FAILURE, anything
// else fails the tick. Made as ScriptNode is.
class ScriptConditionNode : public core::TreeNode {
 public:
  explicit ScriptConditionNode(core::NodeConfig config);
  core::NodeKind kind() const noexcept override { return core::NodeKind::CONDITION; }

 protected:
  core::NodeStatus onTick() override;

 private:
  core::scripting::Script script_;
};

// Runs its child only when the `if` script holds; otherwise returns `else` (a status name:
// SUCCESS, FAILURE, RUNNING or SKIPPED; FAILURE when unbound) without ticking the child. Once the
// child has returned RUNNING, `if` is not evaluated again until the child completes or the node
// is halted (a halt forgets that the child had started). Made as ScriptNode is, with `if`; a
// literal `else` that is no status name is a build error, one read from an entry fails the tick.
class PreconditionNode : public DecoratorNode {
 public:
  explicit PreconditionNode(core::NodeConfig config);

 protected:
  core::NodeStatus onTick() override;

 private:
  core::NodeStatus elseStatus() const;

  core::scripting::Script condition_;
  std::optional<core::NodeStatus> else_;  // a literal `else`, converted when made
};

// The script a port of `node` holds, parsed: for nodes that take a script as a port. Throws
// core::TreeBuildError naming the node and the port when it is unbound, bound to a blackboard
// reference ("{entry}": scripts are written in the XML, not read from entries) or cannot be
// parsed (the core::scripting::ScriptParseError nested).
core::scripting::Script script_port(const core::TreeNode& node, std::string_view port);

}  // namespace kelmora::nodes
