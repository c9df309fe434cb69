#include <fmt/format.h>

#include <charconv>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/blackboard_nodes.hpp>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "core/port_reference.hpp"

namespace kelmora::nodes {

using core::NodeStatus;
using ItemType = LoopNode::ItemType;

namespace {

// The entry a port names: "x" or "{x}".
std::string entry_name(const core::TreeNode& node, std::string_view port) {
  const core::PortBinding* binding = node.portBinding(port);
  if (binding == nullptr || !binding->bound()) {
    throw core::PortError(fmt::format("{}: missing required port '{}'", node.describe(), port),
                          &node);
  }
  std::string name(binding->kind == core::PortBinding::Kind::ENTRY ? std::string_view(binding->text)
                                                                   : common::trim(binding->text));
  if (name.empty()) {
    throw core::PortError(fmt::format("{}: port '{}' names no entry", node.describe(), port),
                          &node);
  }
  return name;
}

core::Blackboard& blackboard_of(const core::TreeNode& node) {
  if (!node.blackboard()) {
    throw RuntimeError(node.describe() + ": the node has no blackboard");
  }
  return *node.blackboard();
}

// `if_empty`'s statuses.
std::optional<NodeStatus> empty_status_named(std::string_view text) {
  text = common::trim(text);
  for (NodeStatus status : {NodeStatus::SUCCESS, NodeStatus::FAILURE, NodeStatus::SKIPPED}) {
    if (text == core::to_string(status)) return status;
  }
  return std::nullopt;
}

std::string_view type_name(ItemType type) {
  switch (type) {
    case ItemType::integer:
      return "an integer";
    case ItemType::real:
      return "a number";
    case ItemType::string:
      return "text";
    case ItemType::boolean:
      return "true or false";
  }
  return "";
}

// One element from its text form; std::nullopt when it does not convert.
std::optional<std::any> item_from_text(std::string_view text, ItemType type) {
  text = common::trim(text);
  switch (type) {
    case ItemType::integer:
      if (auto n = core::details::parse_int(text)) return std::any(*n);
      return std::nullopt;
    case ItemType::real: {
      double d = 0.0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), d);
      if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
      }
      return std::any(d);
    }
    case ItemType::string:
      return std::any(std::string(text));
    case ItemType::boolean:
      if (text == "1") return std::any(true);
      if (text == "0") return std::any(false);
      if (auto b = core::details::parse_bool(text)) return std::any(*b);
      return std::nullopt;
  }
  return std::nullopt;
}

// One element from a value of any kind: text is parsed, numbers and truth values converted
// where no information is lost.
std::optional<std::any> item_from_value(const std::any& value, ItemType type) {
  if (auto text = core::any_as_string(value)) return item_from_text(*text, type);
  auto scalar = core::any_as_scalar(value);
  if (!scalar || type == ItemType::string) return std::nullopt;
  if (const auto* b = std::get_if<bool>(&*scalar)) {
    return type == ItemType::boolean ? std::optional<std::any>(*b) : std::nullopt;
  }
  if (const auto* i = std::get_if<std::int64_t>(&*scalar)) {
    if (type == ItemType::integer) return std::any(*i);
    if (type == ItemType::real) return std::any(static_cast<double>(*i));
    if (*i == 0 || *i == 1) return std::any(*i == 1);
    return std::nullopt;
  }
  const double d = std::get<double>(*scalar);
  if (type == ItemType::real) return std::any(d);
  return std::nullopt;
}

// The items of a text queue: separated by ';', blank ones dropped.
std::optional<std::deque<std::any>> parse_queue(std::string_view text, ItemType type,
                                                std::string& bad_item) {
  std::deque<std::any> items;
  while (!text.empty()) {
    const auto end = text.find(';');
    const std::string_view part = common::trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (part.empty()) continue;
    auto item = item_from_text(part, type);
    if (!item) {
      bad_item = std::string(part);
      return std::nullopt;
    }
    items.push_back(std::move(*item));
  }
  return items;
}

// Appends a list entry's elements, converted, to `out`; false when the value is no
// std::vector<T>. An element that does not convert is named in `bad_item`.
template <class T>
bool copy_list(const std::any& value, ItemType type, std::deque<std::any>& out,
               std::string& bad_item) {
  const auto* list = std::any_cast<std::vector<T>>(&value);
  if (list == nullptr) return false;
  for (const T& element : *list) {
    auto item = item_from_value(std::any(element), type);
    if (!item) {
      bad_item = core::any_to_text(std::any(element));
      return true;
    }
    out.push_back(std::move(*item));
  }
  return true;
}

}  // namespace

// --- UnsetBlackboard, the "updated" nodes ----------------------------------------------------

NodeStatus UnsetBlackboardNode::onTick() {
  const std::string key(common::trim(getInputString("key")));
  if (key.empty()) {
    throw core::PortError(describe() + ": port 'key' names no entry", this);
  }
  blackboard_of(*this).unset(key);
  return NodeStatus::SUCCESS;
}

bool EntryWatch::updated(const core::TreeNode& node) {
  const auto stamp = blackboard_of(node).update_stamp(entry_name(node, "entry"));
  if (!stamp || stamp == seen_) return false;
  seen_ = stamp;
  return true;
}

NodeStatus WasEntryUpdatedNode::onTick() {
  return watch_.updated(*this) ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
}

EntryUpdatedDecorator::EntryUpdatedDecorator(core::NodeConfig config, bool wait)
    : DecoratorNode(std::move(config)), wait_(wait) {}

NodeStatus EntryUpdatedDecorator::onTick() {
  if (child().status() != NodeStatus::RUNNING && !watch_.updated(*this)) {
    return wait_ ? NodeStatus::RUNNING : NodeStatus::SKIPPED;
  }
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (result != NodeStatus::RUNNING) haltChild();
  return result;
}

// --- the Loop decorators --------------------------------------------------------------------

LoopNode::LoopNode(core::NodeConfig config, ItemType type)
    : DecoratorNode(std::move(config)), type_(type) {
  const core::PortBinding* queue = portBinding("queue");
  if (queue == nullptr || !queue->bound()) {
    throw core::TreeBuildError(describe() + ": missing required port 'queue'");
  }
  if (queue->kind == core::PortBinding::Kind::LITERAL) {
    std::string bad;
    literal_ = parse_queue(queue->text, type_, bad);
    if (!literal_) {
      throw core::TreeBuildError(
          fmt::format("{}: port 'queue': item '{}' is not {}", describe(), bad, type_name(type_)));
    }
  }
  const core::PortBinding* if_empty = portBinding("if_empty");
  if (if_empty == nullptr || !if_empty->bound()) {
    if_empty_ = NodeStatus::SUCCESS;
  } else if (if_empty->kind == core::PortBinding::Kind::LITERAL) {
    if_empty_ = empty_status_named(if_empty->text);
    if (!if_empty_) {
      throw core::TreeBuildError(
          fmt::format("{}: port 'if_empty' expects SUCCESS, FAILURE or SKIPPED, got '{}'",
                      describe(), if_empty->text));
    }
  }
}

NodeStatus LoopNode::emptyStatus() const {
  if (if_empty_) return *if_empty_;
  const std::string text = getInputString("if_empty");
  if (auto status = empty_status_named(text)) return *status;
  throw core::PortError(
      fmt::format("{}: port 'if_empty' expects SUCCESS, FAILURE or SKIPPED, got '{}'", describe(),
                  text),
      this);
}

std::optional<std::any> LoopNode::take() {
  if (!own_ && literal_) own_ = literal_;
  if (!own_) {
    const std::string key = portBinding("queue")->text;
    core::Blackboard& board = blackboard_of(*this);
    std::optional<std::any> value = board.get(key);
    if (!value) {
      throw core::PortError(
          fmt::format("{}: port 'queue' refers to blackboard entry '{}', which was never written",
                      describe(), key),
          this);
    }
    // A queue entry is consumed in place.
    if (auto* items = std::any_cast<std::deque<std::any>>(&*value)) {
      if (items->empty()) return std::nullopt;
      auto item = item_from_value(items->front(), type_);
      if (!item) {
        throw core::PortError(fmt::format("{}: port 'queue': item '{}' is not {}", describe(),
                                          core::any_to_text(items->front()), type_name(type_)),
                              this);
      }
      items->pop_front();
      board.set(key, std::move(*value));
      return item;
    }
    const auto pop_typed = [&](auto* typed) -> std::optional<std::any> {
      if (typed->empty()) return std::nullopt;
      std::any item(typed->front());
      typed->pop_front();
      board.set(key, std::move(*value));
      return item;
    };
    switch (type_) {
      case ItemType::integer:
        if (auto* q = std::any_cast<std::deque<std::int64_t>>(&*value)) return pop_typed(q);
        break;
      case ItemType::real:
        if (auto* q = std::any_cast<std::deque<double>>(&*value)) return pop_typed(q);
        break;
      case ItemType::string:
        if (auto* q = std::any_cast<std::deque<std::string>>(&*value)) return pop_typed(q);
        break;
      case ItemType::boolean:
        if (auto* q = std::any_cast<std::deque<bool>>(&*value)) return pop_typed(q);
        break;
    }
    // Anything else is copied (or parsed) once, when the run starts.
    std::deque<std::any> copy;
    std::string bad;
    bool known = copy_list<std::any>(*value, type_, copy, bad) ||
                 copy_list<std::int64_t>(*value, type_, copy, bad) ||
                 copy_list<int>(*value, type_, copy, bad) ||
                 copy_list<double>(*value, type_, copy, bad) ||
                 copy_list<std::string>(*value, type_, copy, bad) ||
                 copy_list<bool>(*value, type_, copy, bad);
    if (!known) {
      if (auto text = core::any_as_string(*value)) {
        auto parsed = parse_queue(*text, type_, bad);
        if (parsed) copy = std::move(*parsed);
        known = true;
      }
    }
    if (!known) {
      throw core::PortError(
          fmt::format("{}: port 'queue': blackboard entry '{}' holds {}, not a queue, a list or "
                      "text",
                      describe(), key, core::any_kind_name(*value)),
          this);
    }
    if (!bad.empty()) {
      throw core::PortError(
          fmt::format("{}: port 'queue': item '{}' is not {}", describe(), bad, type_name(type_)),
          this);
    }
    own_ = std::move(copy);
  }
  if (own_->empty()) return std::nullopt;
  std::any item = std::move(own_->front());
  own_->pop_front();
  return item;
}

NodeStatus LoopNode::onTick() {
  if (child().status() != NodeStatus::RUNNING) {
    std::optional<std::any> item = take();
    if (!item) {
      own_.reset();  // the next run starts again from the top
      return emptyStatus();
    }
    if (isPortBound("value")) setOutput("value", std::move(*item));
  }
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child().executeTick();
  if (result != NodeStatus::RUNNING) haltChild();
  return result == NodeStatus::FAILURE ? NodeStatus::FAILURE : NodeStatus::RUNNING;
}

}  // namespace kelmora::nodes
