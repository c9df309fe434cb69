#include <fmt/format.h>

#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_node.hpp>
#include <utility>

#include "port_reference.hpp"

namespace kelmora::core {

std::string_view to_string(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::ACTION:
      return "Action";
    case NodeKind::CONDITION:
      return "Condition";
    case NodeKind::CONTROL:
      return "Control";
    case NodeKind::DECORATOR:
      return "Decorator";
    case NodeKind::SUBTREE:
      return "SubTree";
  }
  return "Unknown";
}

TreeNode::TreeNode(NodeConfig config) : config_(std::move(config)) {}

TreeNode::~TreeNode() = default;

std::string TreeNode::describe() const {
  return fmt::format("node '{}' ({})", config_.name, config_.registration_id);
}

const PortDescription* TreeNode::findPort(const std::string& port) const noexcept {
  for (const auto& description : config_.ports) {
    auto it = description.find("name");
    if (it != description.end() && it->second == port) return &description;
  }
  return nullptr;
}

bool TreeNode::isPortBound(const std::string& port) const noexcept {
  return config_.attributes.find(port) != config_.attributes.end();
}

// The XML value bound to `port`, after checking that the port exists with `direction`.
const std::string& TreeNode::boundValue(const std::string& port, std::string_view direction) const {
  const PortDescription* description = findPort(port);
  if (description == nullptr) {
    throw PortError(fmt::format("{}: has no port '{}'", describe(), port));
  }
  auto dir = description->find("direction");
  const std::string declared = dir == description->end() ? std::string() : dir->second;
  if (declared != direction) {
    throw PortError(fmt::format("{}: port '{}' is an {} port; it cannot be {}", describe(), port,
                                declared, direction == "input" ? "read" : "written"));
  }
  auto it = config_.attributes.find(port);
  if (it == config_.attributes.end()) {
    throw PortError(fmt::format("{}: port '{}' is not bound in the XML", describe(), port));
  }
  return it->second;
}

std::string TreeNode::getInputString(const std::string& port) const {
  const std::string& value = boundValue(port, "input");
  auto key = details::reference_key(value, port);
  if (!key) return value;
  auto entry = config_.blackboard ? config_.blackboard->get(*key) : std::nullopt;
  if (!entry) {
    throw PortError(
        fmt::format("{}: port '{}' refers to blackboard entry '{}', which was never "
                    "written",
                    describe(), port, *key));
  }
  auto text = any_as_string(*entry);
  if (!text) {
    throw PortError(
        fmt::format("{}: port '{}' refers to blackboard entry '{}', which holds {}, "
                    "not text",
                    describe(), port, *key, any_kind_name(*entry)));
  }
  return *text;
}

std::any TreeNode::getInputObject(const std::string& port) const {
  const std::string& value = boundValue(port, "input");
  auto key = details::reference_key(value, port);
  if (!key) return value;
  auto entry = config_.blackboard ? config_.blackboard->get(*key) : std::nullopt;
  return entry ? std::move(*entry) : std::any();
}

void TreeNode::setOutput(const std::string& port, std::any value) {
  const std::string& bound = boundValue(port, "output");
  auto key = details::reference_key(bound, port);
  if (!key || key->empty()) {
    throw PortError(
        fmt::format("{}: output port '{}' is bound to '{}', not to a {{key}} "
                    "blackboard reference",
                    describe(), port, bound));
  }
  if (!config_.blackboard) {
    throw PortError(fmt::format("{}: port '{}' has no blackboard to write to", describe(), port));
  }
  config_.blackboard->set(*key, std::move(value));
}

std::int64_t TreeNode::getInputInt(const std::string& port, std::int64_t fallback) const {
  if (!isPortBound(port)) return fallback;
  const std::string text = getInputString(port);
  auto value = details::parse_int(text);
  if (!value) {
    throw PortError(
        fmt::format("{}: port '{}' expects an integer, got '{}'", describe(), port, text));
  }
  return *value;
}

bool TreeNode::getInputBool(const std::string& port, bool fallback) const {
  if (!isPortBound(port)) return fallback;
  const std::string text = getInputString(port);
  auto value = details::parse_bool(text);
  if (!value) {
    throw PortError(
        fmt::format("{}: port '{}' expects true or false, got '{}'", describe(), port, text));
  }
  return *value;
}

NodeStatus TreeNode::executeTick() {
  NodeStatus result = NodeStatus::IDLE;
  try {
    result = onTick();
  } catch (const NodeTickError&) {
    throw;  // already names the node that failed
  } catch (const std::exception& e) {
    const std::string prefix = describe();
    const std::string what = e.what();
    // Port errors already begin with this node's name.
    throw NodeTickError(what.rfind(prefix, 0) == 0 ? what : prefix + ": " + what);
  } catch (...) {
    throw NodeTickError(describe() + ": unknown exception");
  }
  if (result == NodeStatus::IDLE) {
    throw NodeTickError(describe() + ": a tick must not return IDLE");
  }
  status_ = result;
  return result;
}

void TreeNode::haltNode() {
  onHalt();
  status_ = NodeStatus::IDLE;
}

void TreeNode::resetNode() {
  haltNode();
  onReset();
  for (TreeNode* node : children()) node->resetNode();
}

}  // namespace kelmora::core
