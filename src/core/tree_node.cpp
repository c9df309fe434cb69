#include <fmt/format.h>

#include <cmath>
#include <exception>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_node.hpp>
#include <typeinfo>
#include <utility>
#include <variant>

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

namespace {

// The value as text; a std::string (every literal) without asking the hooks.
std::optional<std::string> text_of(const std::any& value) {
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  return any_as_string(value);
}

}  // namespace

std::any TreeNode::inputValue(const std::string& port, std::string& key) const {
  const std::string& value = boundValue(port, "input");
  auto reference = details::reference_key(value, port);
  if (!reference) return value;
  key = *reference;
  auto entry = config_.blackboard ? config_.blackboard->get(key) : std::nullopt;
  if (!entry) {
    throw PortError(
        fmt::format("{}: port '{}' refers to blackboard entry '{}', which was never "
                    "written",
                    describe(), port, key));
  }
  return *std::move(entry);
}

void TreeNode::throwWrongKind(const std::string& port, const std::string& key,
                              const std::any& value, std::string_view wanted) const {
  throw PortError(
      fmt::format("{}: port '{}' refers to blackboard entry '{}', which holds {}, not {}",
                  describe(), port, key, any_kind_name(value), wanted));
}

std::string TreeNode::getInputString(const std::string& port) const {
  std::string key;
  const std::any value = inputValue(port, key);
  auto text = text_of(value);
  if (!text) throwWrongKind(port, key, value, "text");
  return *std::move(text);
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
  std::string key;
  const std::any value = inputValue(port, key);
  if (auto text = text_of(value)) {
    auto number = details::parse_int(*text);
    if (!number) {
      throw PortError(
          fmt::format("{}: port '{}' expects an integer, got '{}'", describe(), port, *text));
    }
    return *number;
  }
  const auto scalar = any_as_scalar(value);
  if (!scalar || std::holds_alternative<bool>(*scalar)) {
    throwWrongKind(port, key, value, "an integer");
  }
  if (const auto* integer = std::get_if<std::int64_t>(&*scalar)) return *integer;
  // A floating-point number counts when it is whole and within the integer range; the bounds
  // are -2^63 (exact) and 2^63 (the first value beyond the range).
  const double number = std::get<double>(*scalar);
  constexpr double kBound = 9223372036854775808.0;
  if (!(number >= -kBound && number < kBound) || std::trunc(number) != number) {
    throw PortError(fmt::format("{}: port '{}' expects an integer, got {}", describe(), port,
                                any_to_text(value)));
  }
  return static_cast<std::int64_t>(number);
}

bool TreeNode::getInputBool(const std::string& port, bool fallback) const {
  if (!isPortBound(port)) return fallback;
  std::string key;
  const std::any value = inputValue(port, key);
  if (auto text = text_of(value)) {
    auto flag = details::parse_bool(*text);
    if (!flag) {
      throw PortError(
          fmt::format("{}: port '{}' expects true or false, got '{}'", describe(), port, *text));
    }
    return *flag;
  }
  const auto scalar = any_as_scalar(value);
  if (!scalar || !std::holds_alternative<bool>(*scalar)) {
    throwWrongKind(port, key, value, "a boolean");
  }
  return std::get<bool>(*scalar);
}

NodeStatus TreeNode::executeTick() {
  NodeStatus result = NodeStatus::IDLE;
  try {
    result = onTick();
  } catch (const NodeTickError&) {
    throw;  // already names the node that failed
  } catch (const TreeStoppedError&) {
    throw;  // a stop ends the tick; no node failed
  } catch (const std::exception& e) {
    const std::string prefix = describe();
    const char* text = e.what();
    std::string what = text != nullptr ? text : "";
    // An exception without text is named by its type, so the error still says what happened.
    if (details::trim(what).empty()) what = demangled_type_name(typeid(e));
    // Port errors already begin with this node's name.
    // The exception itself stays reachable, nested (std::rethrow_if_nested).
    std::throw_with_nested(NodeTickError(what.rfind(prefix, 0) == 0 ? what : prefix + ": " + what));
  } catch (...) {
    std::throw_with_nested(NodeTickError(describe() + ": unknown exception"));
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
