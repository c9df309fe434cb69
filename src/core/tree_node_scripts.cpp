// TreeNode's condition attributes: the checks before a tick, `_while` during a run, the scripts
// after it and on a halt. Kept apart from tree_node.cpp: only nodes that have such attributes
// come here.

#include <fmt/format.h>

#include <exception>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/condition_scripts.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_node.hpp>

namespace kelmora::core {

namespace {

constexpr std::array<std::string_view, kConditionAttributeCount> kNames = {
    "_failureIf", "_successIf", "_skipIf",   "_while",
    "_onSuccess", "_onFailure", "_onHalted", "_post"};

}  // namespace

std::string_view attribute_name(ConditionAttribute attribute) noexcept {
  return kNames[static_cast<std::size_t>(attribute)];
}

std::optional<ConditionAttribute> condition_attribute(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) return static_cast<ConditionAttribute>(i);
  }
  return std::nullopt;
}

void TreeNode::throwScriptFailure(ConditionAttribute attribute) {
  const char* text = "unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    text = e.what();
    std::throw_with_nested(NodeTickError(
        fmt::format("{}: attribute '{}': {}", describe(), attribute_name(attribute), text)));
  } catch (...) {
    std::throw_with_nested(NodeTickError(
        fmt::format("{}: attribute '{}': {}", describe(), attribute_name(attribute), text)));
  }
}

bool TreeNode::evaluateCondition(ConditionAttribute attribute) {
  const auto& script = (*config_.scripts)[attribute];
  if (!config_.blackboard) {
    throw NodeTickError(
        fmt::format("{}: attribute '{}': the node has no blackboard to run its "
                    "script against",
                    describe(), attribute_name(attribute)));
  }
  try {
    return script->evaluate_condition(*config_.blackboard);
  } catch (...) {
    throwScriptFailure(attribute);
  }
}

void TreeNode::runScript(ConditionAttribute attribute) {
  const auto& script = (*config_.scripts)[attribute];
  if (!script) return;
  if (!config_.blackboard) {
    throw NodeTickError(
        fmt::format("{}: attribute '{}': the node has no blackboard to run its "
                    "script against",
                    describe(), attribute_name(attribute)));
  }
  try {
    (void)script->evaluate(*config_.blackboard);
  } catch (...) {
    throwScriptFailure(attribute);
  }
}

NodeStatus TreeNode::executeTickWithScripts() {
  using A = ConditionAttribute;
  const ConditionScripts& scripts = *config_.scripts;
  std::optional<NodeStatus> decided;
  if (status_ != NodeStatus::RUNNING) {
    // The node starts: the first start condition that fires decides, and the node is not ticked.
    if (scripts.has_start_conditions()) {
      if (scripts[A::failure_if] && evaluateCondition(A::failure_if)) {
        decided = NodeStatus::FAILURE;
      } else if (scripts[A::success_if] && evaluateCondition(A::success_if)) {
        decided = NodeStatus::SUCCESS;
      } else if (scripts[A::skip_if] && evaluateCondition(A::skip_if)) {
        decided = NodeStatus::SKIPPED;
      } else if (scripts[A::while_true] && !evaluateCondition(A::while_true)) {
        decided = NodeStatus::SKIPPED;
      }
    }
  } else if (scripts[A::while_true] && !evaluateCondition(A::while_true)) {
    // The run is interrupted: halted as a parent halts it (`_onHalted` included), then skipped.
    haltNode();
    setStatus(NodeStatus::SKIPPED);
    return NodeStatus::SKIPPED;
  }

  NodeStatus result;
  if (decided) {
    result = *decided;
    setStatus(result);
  } else {
    result = tickOwnCode();
  }
  // A result decided by _successIf / _failureIf is a completion too; SKIPPED and RUNNING run
  // nothing.
  if (result == NodeStatus::SUCCESS) {
    runScript(A::on_success);
    runScript(A::post);
  } else if (result == NodeStatus::FAILURE) {
    runScript(A::on_failure);
    runScript(A::post);
  }
  return result;
}

void TreeNode::runHaltedScript() {
  if (!(*config_.scripts)[ConditionAttribute::on_halted]) return;
  try {
    runScript(ConditionAttribute::on_halted);
  } catch (...) {
    if (!config_.timers) throw;
    config_.timers->report_halt_failure(std::current_exception());
  }
}

}  // namespace kelmora::core
