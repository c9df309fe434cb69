#include <fmt/format.h>

#include <cmath>
#include <exception>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_node.hpp>
#include <stdexcept>
#include <typeinfo>
#include <utility>
#include <variant>

#include "common/text.hpp"
#include "node_label.hpp"
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

namespace {

constexpr std::size_t kNoPort = static_cast<std::size_t>(-1);

const std::vector<PortInfo>& no_ports() {
  static const std::vector<PortInfo> kNone;
  return kNone;
}

}  // namespace

TreeNode::TreeNode(NodeConfig config) : config_(std::move(config)) {
  const std::size_t ports = config_.ports ? config_.ports->size() : 0;
  if (config_.bindings.size() > ports) {
    throw std::invalid_argument(fmt::format("{}: {} port bindings for {} ports", describe(),
                                            config_.bindings.size(), ports));
  }
  config_.bindings.resize(ports);
}

TreeNode::~TreeNode() = default;

std::string TreeNode::describe() const {
  return details::node_label(config_.name, config_.registration_id);
}

// --- children ------------------------------------------------------------------------------

void TreeNode::throwNoChild(std::size_t index) const {
  throw std::out_of_range(
      fmt::format("{}: has no child {} (it has {})", describe(), index, children_.size()));
}

std::vector<TreeNode*> TreeNode::children() const {
  std::vector<TreeNode*> list;
  list.reserve(children_.size());
  for (const auto& c : children_) list.push_back(c.get());
  return list;
}

void TreeNode::addChild(std::unique_ptr<TreeNode>) {
  throw TreeBuildError(describe() + ": this node type cannot hold children");
}

void TreeNode::appendChild(std::unique_ptr<TreeNode> child) {
  if (!child) throw std::invalid_argument(describe() + ": a child must not be null");
  children_.push_back(std::move(child));
}

// --- ports ---------------------------------------------------------------------------------

const std::vector<PortInfo>& TreeNode::ports() const noexcept {
  return config_.ports ? *config_.ports : no_ports();
}

std::size_t TreeNode::portIndex(std::string_view port) const noexcept {
  const auto& list = ports();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].name == port) return i;
  }
  return kNoPort;
}

const PortBinding* TreeNode::portBinding(std::string_view port) const noexcept {
  const std::size_t index = portIndex(port);
  return index == kNoPort ? nullptr : &config_.bindings[index];
}

bool TreeNode::isPortBound(std::string_view port) const noexcept {
  const PortBinding* binding = portBinding(port);
  return binding != nullptr && binding->bound();
}

const PortBinding& TreeNode::usableBinding(std::string_view port, bool write) const {
  const std::size_t index = portIndex(port);
  if (index == kNoPort)
    throw PortError(fmt::format("{}: has no port '{}'", describe(), port), this);
  const PortInfo& info = ports()[index];
  if (write ? !info.writable() : !info.readable()) {
    throw PortError(fmt::format("{}: port '{}' is an {} port; it cannot be {}", describe(), port,
                                to_string(info.direction), write ? "written" : "read"),
                    this);
  }
  const PortBinding& binding = config_.bindings[index];
  if (!binding.bound()) {
    throw PortError(fmt::format("{}: port '{}' is not bound in the XML", describe(), port), this);
  }
  return binding;
}

const std::any& TreeNode::entryValue(std::string_view port, const PortBinding& binding) const {
  const std::any* value = config_.blackboard ? config_.blackboard->find(binding.text) : nullptr;
  if (value == nullptr) {
    throw PortError(fmt::format("{}: port '{}' refers to blackboard entry '{}', which was never "
                                "written",
                                describe(), port, binding.text),
                    this);
  }
  return *value;
}

void TreeNode::throwWrongKind(std::string_view port, const std::string& key, const std::any& value,
                              std::string_view wanted) const {
  throw PortError(
      fmt::format("{}: port '{}' refers to blackboard entry '{}', which holds {}, not {}",
                  describe(), port, key, any_kind_name(value), wanted),
      this);
}

std::string TreeNode::getInputString(std::string_view port) const {
  const PortBinding& binding = usableBinding(port, false);
  if (binding.kind == PortBinding::Kind::LITERAL) return binding.text;
  const std::any& value = entryValue(port, binding);
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  // A copy: a host's hook may run code that writes the blackboard while it looks at the value.
  const std::any held = value;
  auto text = any_as_string(held);
  if (!text) throwWrongKind(port, binding.text, held, "text");
  return *std::move(text);
}

std::any TreeNode::getInputObject(std::string_view port) const {
  const PortBinding& binding = usableBinding(port, false);
  if (binding.kind == PortBinding::Kind::LITERAL) return binding.text;
  const std::any* value = config_.blackboard ? config_.blackboard->find(binding.text) : nullptr;
  return value != nullptr ? *value : std::any();
}

void TreeNode::setOutput(std::string_view port, std::any value) {
  const PortBinding& binding = usableBinding(port, true);
  if (binding.kind != PortBinding::Kind::ENTRY) {
    throw PortError(fmt::format("{}: output port '{}' is bound to '{}', not to a {{key}} "
                                "blackboard reference",
                                describe(), port, binding.text),
                    this);
  }
  if (!config_.blackboard) {
    throw PortError(fmt::format("{}: port '{}' has no blackboard to write to", describe(), port),
                    this);
  }
  config_.blackboard->set(binding.text, std::move(value));
}

const PortBinding* TreeNode::boundInput(std::string_view port) const {
  return isPortBound(port) ? &usableBinding(port, false) : nullptr;
}

std::optional<std::string> TreeNode::inputText(std::string_view port, const PortBinding& binding,
                                               std::any& held) const {
  if (binding.kind == PortBinding::Kind::LITERAL) return binding.text;
  held = entryValue(port, binding);
  return any_as_string(held);
}

std::int64_t TreeNode::getInputInt(std::string_view port, std::int64_t fallback) const {
  const PortBinding* binding = boundInput(port);
  if (binding == nullptr) return fallback;
  if (const auto* number = std::any_cast<std::int64_t>(&binding->value)) return *number;
  std::any held;
  if (auto text = inputText(port, *binding, held)) {
    auto number = details::parse_int(*text);
    if (!number) {
      throw PortError(
          fmt::format("{}: port '{}' expects an integer, got '{}'", describe(), port, *text), this);
    }
    return *number;
  }
  const auto scalar = any_as_scalar(held);
  if (!scalar || std::holds_alternative<bool>(*scalar)) {
    throwWrongKind(port, binding->text, held, "an integer");
  }
  if (const auto* integer = std::get_if<std::int64_t>(&*scalar)) return *integer;
  // A floating-point number counts when it is whole and within the integer range; the bounds
  // are -2^63 (exact) and 2^63 (the first value beyond the range).
  const double number = std::get<double>(*scalar);
  constexpr double kBound = 9223372036854775808.0;
  if (!(number >= -kBound && number < kBound) || std::trunc(number) != number) {
    throw PortError(fmt::format("{}: port '{}' expects an integer, got {}", describe(), port,
                                any_to_text(held)),
                    this);
  }
  return static_cast<std::int64_t>(number);
}

bool TreeNode::getInputBool(std::string_view port, bool fallback) const {
  const PortBinding* binding = boundInput(port);
  if (binding == nullptr) return fallback;
  if (const auto* flag = std::any_cast<bool>(&binding->value)) return *flag;
  std::any held;
  if (auto text = inputText(port, *binding, held)) {
    auto flag = details::parse_bool(*text);
    if (!flag) {
      throw PortError(
          fmt::format("{}: port '{}' expects true or false, got '{}'", describe(), port, *text),
          this);
    }
    return *flag;
  }
  const auto scalar = any_as_scalar(held);
  if (!scalar || !std::holds_alternative<bool>(*scalar)) {
    throwWrongKind(port, binding->text, held, "a boolean");
  }
  return std::get<bool>(*scalar);
}

// --- running -------------------------------------------------------------------------------

void TreeNode::throwIdleResult() {
  setStatus(NodeStatus::RUNNING);  // it may have started something: a halt must reach it
  throw NodeTickError(describe() + ": a tick must not return IDLE");
}

void TreeNode::rethrowAsTickError() {
  try {
    throw;
  } catch (const NodeTickError&) {
    throw;  // already names the node that failed
  } catch (const TreeStoppedError&) {
    throw;  // a stop ends the tick; no node failed
  } catch (const PortError& e) {
    // This node's own port errors already begin with its name.
    std::throw_with_nested(
        NodeTickError(e.node() == this ? std::string(e.what()) : describe() + ": " + e.what()));
  } catch (const std::exception& e) {
    const char* text = e.what();
    std::string what = text != nullptr ? text : "";
    // An exception without text is named by its type, so the error still says what happened.
    if (common::trim(what).empty()) what = demangled_type_name(typeid(e));
    std::throw_with_nested(NodeTickError(describe() + ": " + what));
  } catch (...) {
    std::throw_with_nested(NodeTickError(describe() + ": unknown exception"));
  }
}

void TreeNode::throwRunningCondition() {
  setStatus(NodeStatus::RUNNING);  // as for any failed tick: the tree halts it
  throw NodeTickError(describe() + ": a condition must not return RUNNING");
}

namespace {

// Runs `step`; the first exception any step of a series throws is kept in `failure`, and the
// series goes on.
template <class Step>
void keep_first_failure(std::exception_ptr& failure, Step&& step) noexcept {
  try {
    step();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
}

}  // namespace

void TreeNode::haltChildren(std::size_t first) {
  std::exception_ptr failure;
  for (std::size_t i = first; i < children_.size(); ++i) {
    keep_first_failure(failure, [&] { children_[i]->haltNode(); });
  }
  if (failure) std::rethrow_exception(failure);
}

void TreeNode::haltActiveNode() {
  std::exception_ptr failure;
  if (status_ == NodeStatus::RUNNING) {
    // A failed halt names the node, as a failed tick does.
    keep_first_failure(failure, [this] {
      try {
        onHalt();
      } catch (...) {
        rethrowAsTickError();
      }
    });
  }
  keep_first_failure(failure, [this] { haltChildren(); });
  setStatus(NodeStatus::IDLE);
  if (failure) std::rethrow_exception(failure);
}

void TreeNode::resetNode() {
  std::exception_ptr failure;
  keep_first_failure(failure, [this] { haltNode(); });
  keep_first_failure(failure, [this] { onReset(); });
  for (auto& c : children_) keep_first_failure(failure, [&c] { c->resetNode(); });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kelmora::core
