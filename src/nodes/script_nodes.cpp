#include <fmt/format.h>

#include <exception>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/script_nodes.hpp>
#include <utility>

#include "common/text.hpp"

namespace kelmora::nodes {

using core::NodeStatus;
namespace scripting = core::scripting;

namespace {

// A status name as `else` takes it; std::nullopt for anything else (IDLE included).
std::optional<NodeStatus> status_named(std::string_view text) {
  text = common::trim(text);
  for (NodeStatus status :
       {NodeStatus::SUCCESS, NodeStatus::FAILURE, NodeStatus::RUNNING, NodeStatus::SKIPPED}) {
    if (text == core::to_string(status)) return status;
  }
  return std::nullopt;
}

scripting::Environment& environment(const core::TreeNode& node) {
  if (!node.blackboard()) {
    throw RuntimeError(node.describe() + ": the node has no blackboard to run its script");
  }
  return *node.blackboard();
}

}  // namespace

scripting::Script script_port(const core::TreeNode& node, std::string_view port) {
  const core::PortBinding* binding = node.portBinding(port);
  if (binding == nullptr || !binding->bound()) {
    throw core::TreeBuildError(
        fmt::format("{}: missing required port '{}'", node.describe(), port));
  }
  if (binding->kind == core::PortBinding::Kind::ENTRY) {
    throw core::TreeBuildError(fmt::format(
        "{}: attribute '{}' must be a script written in the XML, not the blackboard reference "
        "'{{{}}}'",
        node.describe(), port, binding->text));
  }
  try {
    return scripting::Script::parse(binding->text);
  } catch (const scripting::ScriptParseError& e) {
    std::throw_with_nested(core::TreeBuildError(
        fmt::format("{}: attribute '{}': {}", node.describe(), port, e.what())));
  }
}

ScriptNode::ScriptNode(core::NodeConfig config)
    : core::TreeNode(std::move(config)), script_(script_port(*this, "code")) {}

NodeStatus ScriptNode::onTick() {
  (void)script_.evaluate(environment(*this));
  return NodeStatus::SUCCESS;
}

ScriptConditionNode::ScriptConditionNode(core::NodeConfig config)
    : core::TreeNode(std::move(config)), script_(script_port(*this, "code")) {}

NodeStatus ScriptConditionNode::onTick() {
  return script_.evaluate_condition(environment(*this)) ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
}

PreconditionNode::PreconditionNode(core::NodeConfig config)
    : DecoratorNode(std::move(config)), condition_(script_port(*this, "if")) {
  const core::PortBinding* binding = portBinding("else");
  if (binding != nullptr && binding->kind == core::PortBinding::Kind::LITERAL) {
    else_ = status_named(binding->text);
    if (!else_) {
      throw core::TreeBuildError(
          fmt::format("{}: port 'else' expects SUCCESS, FAILURE, RUNNING or SKIPPED, got '{}'",
                      describe(), binding->text));
    }
  } else if (binding == nullptr || !binding->bound()) {
    else_ = NodeStatus::FAILURE;
  }
}

NodeStatus PreconditionNode::elseStatus() const {
  if (else_) return *else_;
  const std::string text = getInputString("else");
  if (auto status = status_named(text)) return *status;
  throw core::PortError(
      fmt::format("{}: port 'else' expects SUCCESS, FAILURE, RUNNING or SKIPPED, got '{}'",
                  describe(), text),
      this);
}

NodeStatus PreconditionNode::onTick() {
  // A child that is running goes on without the condition being checked again.
  if (child().status() != NodeStatus::RUNNING &&
      !condition_.evaluate_condition(environment(*this))) {
    return elseStatus();
  }
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (core::is_completed(result)) haltChild();
  return result;
}

}  // namespace kelmora::nodes
