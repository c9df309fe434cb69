#include "tree_builder.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <exception>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/text.hpp"
#include "node_label.hpp"
#include "port_reference.hpp"

namespace kelmora::core::details {
namespace {

constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kMaxNodes = 200000;

const std::set<std::string_view> kExplicitForms = {"Action", "Condition", "Control", "Decorator"};

using common::trim;

// The problem with an attribute beginning with '_' that the element may not have.
std::string unsupported_attribute(const std::string& label, std::string_view attribute) {
  return fmt::format("{}: attribute '{}' is not supported ({})", label, attribute,
                     attribute == "_autoremap" ? "it is only allowed on SubTree"
                                               : "scripting preconditions and other '_' "
                                                 "attributes are not supported");
}

class Builder {
 public:
  Builder(const NodeRegistry& registry, const TreeSet& set) : registry_(registry), set_(set) {}

  Tree build() {
    auto blackboard = Blackboard::create();
    timers_ = std::make_shared<TreeTimers>();
    subtree_stack_ = {set_.main_tree};
    auto root = build_tree(set_.main_tree, blackboard, 0);
    return Tree(std::move(root), std::move(blackboard), timers_, set_.main_tree);
  }

 private:
  // Thrown with the node's file and line.
  [[noreturn]] void fail(const SourceDoc& doc, pugi::xml_node node, const std::string& problem) {
    throw TreeBuildError(fmt::format("{}: {}", doc.where(node), problem));
  }

  std::unique_ptr<TreeNode> build_tree(const std::string& id,
                                       const std::shared_ptr<Blackboard>& blackboard,
                                       std::size_t depth);
  std::unique_ptr<TreeNode> build_node(const SourceDoc& doc, pugi::xml_node element,
                                       const std::shared_ptr<Blackboard>& blackboard,
                                       std::size_t depth);
  std::unique_ptr<TreeNode> build_subtree(const SourceDoc& doc, pugi::xml_node element,
                                          const std::shared_ptr<Blackboard>& blackboard,
                                          std::size_t depth);
  // The element's child elements; text inside it is an error.
  std::vector<pugi::xml_node> child_elements(const SourceDoc& doc, pugi::xml_node element);
  // The registered type an element names (its tag, or the ID of an explicit form); `id` is set.
  const NodeType& find_node_type(const SourceDoc& doc, pugi::xml_node element, std::string& id);
  // Fills config.bindings from the element's attributes, each checked against the node's ports.
  void bind_ports(const SourceDoc& doc, pugi::xml_node element, const NodeType& node_type,
                  const std::string& label, NodeConfig& config);
  void check_children_count(const SourceDoc& doc, pugi::xml_node element, const NodeType& node_type,
                            const std::string& label, std::size_t count);
  // The binding of one attribute value to the node's declared port `port`.
  PortBinding bind_attribute(const SourceDoc& doc, pugi::xml_node element, const std::string& label,
                             const PortInfo& port, const std::string& value);

  const NodeRegistry& registry_;
  const TreeSet& set_;
  std::shared_ptr<TreeTimers> timers_;
  std::vector<std::string> subtree_stack_;
  std::size_t node_count_ = 0;
};

std::vector<pugi::xml_node> Builder::child_elements(const SourceDoc& doc, pugi::xml_node element) {
  std::vector<pugi::xml_node> children;
  for (pugi::xml_node child : element.children()) {
    if ((child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) &&
        !trim(child.value()).empty()) {
      fail(doc, child,
           fmt::format("unexpected text '{}' inside <{}>", trim(child.value()), element.name()));
    }
    if (child.type() == pugi::node_element) children.push_back(child);
  }
  return children;
}

std::unique_ptr<TreeNode> Builder::build_tree(const std::string& id,
                                              const std::shared_ptr<Blackboard>& blackboard,
                                              std::size_t depth) {
  const TreeElement& source = set_.trees.at(id);
  auto children = child_elements(*source.doc, source.element);
  if (children.size() != 1) {
    fail(*source.doc, source.element,
         fmt::format("BehaviorTree '{}' must have exactly one child node, not {}", id,
                     children.size()));
  }
  return build_node(*source.doc, children.front(), blackboard, depth);
}

PortBinding Builder::bind_attribute(const SourceDoc& doc, pugi::xml_node element,
                                    const std::string& label, const PortInfo& port,
                                    const std::string& value) {
  const auto key = reference_key(value, port.name);
  if (key && key->empty()) {
    fail(doc, element,
         fmt::format("{}: port '{}' has a malformed blackboard reference '{}'", label, port.name,
                     value));
  }
  if (port.writable()) {
    if (!key) {
      fail(doc, element,
           fmt::format("{}: output port '{}' must be a blackboard reference like {{key}}, not '{}'",
                       label, port.name, value));
    }
    return PortBinding::entry(*key);
  }
  if (key) return PortBinding::entry(*key);  // the entry is read at tick time
  if (port.type == PortType::INT || port.type == PortType::UINT) {
    auto number = parse_int(value);
    if (!number || (port.type == PortType::UINT && *number < 0)) {
      fail(doc, element,
           fmt::format("{}: port '{}' expects {}, got '{}'", label, port.name,
                       port.type == PortType::INT ? "an integer" : "an integer >= 0", value));
    }
    return PortBinding::literal(value, *number);
  }
  if (port.type == PortType::BOOL) {
    auto flag = parse_bool(value);
    if (!flag) {
      fail(doc, element,
           fmt::format("{}: port '{}' expects true or false, got '{}'", label, port.name, value));
    }
    return PortBinding::literal(value, *flag);
  }
  return PortBinding::literal(value);
}

const NodeType& Builder::find_node_type(const SourceDoc& doc, pugi::xml_node element,
                                        std::string& id) {
  const std::string tag = element.name();
  const bool explicit_form = kExplicitForms.count(tag) != 0;
  id = explicit_form ? std::string(trim(element.attribute("ID").value())) : tag;
  if (id.empty()) fail(doc, element, fmt::format("<{}> needs an ID attribute", tag));
  auto it = registry_.types.find(id);
  if (it == registry_.types.end()) fail(doc, element, fmt::format("unknown node type '{}'", id));
  const NodeType& node_type = it->second;
  if (explicit_form) {
    const bool leaf_form = tag == "Action" || tag == "Condition";
    const bool fits =
        leaf_form ? (node_type.kind == NodeKind::ACTION || node_type.kind == NodeKind::CONDITION)
                  : to_string(node_type.kind) == tag;
    if (!fits) {
      fail(doc, element,
           fmt::format("'{}' is a {} node, not a {}", id, to_string(node_type.kind), tag));
    }
  }
  return node_type;
}

void Builder::bind_ports(const SourceDoc& doc, pugi::xml_node element, const NodeType& node_type,
                         const std::string& label, NodeConfig& config) {
  const std::vector<PortInfo>& ports = *node_type.ports;
  auto index_of = [&ports](std::string_view name) {
    std::size_t i = 0;
    while (i < ports.size() && ports[i].name != name) ++i;
    return i;
  };
  config.bindings.assign(ports.size(), PortBinding{});
  const bool explicit_form = kExplicitForms.count(element.name()) != 0;
  for (pugi::xml_attribute attribute : element.attributes()) {
    const std::string port = attribute.name();
    if (port == "name" || (explicit_form && port == "ID")) continue;
    if (port.front() == '_') fail(doc, element, unsupported_attribute(label, port));
    const std::size_t index = index_of(port);
    if (index == ports.size()) {
      std::string known;
      for (const auto& p : ports) known += (known.empty() ? "" : ", ") + p.name;
      fail(doc, element,
           fmt::format("{}: attribute '{}' is not a port of this node ({})", label, port,
                       known.empty() ? "it has no ports" : "ports: " + known));
    }
    PortBinding binding = bind_attribute(doc, element, label, ports[index], attribute.value());
    if (config.bindings[index].bound()) {
      fail(doc, element, fmt::format("{}: attribute '{}' is given twice", label, port));
    }
    config.bindings[index] = std::move(binding);
  }
  for (const auto& required : node_type.required_ports) {
    const std::size_t index = index_of(required);
    if (index == ports.size() || !config.bindings[index].bound()) {
      fail(doc, element, fmt::format("{}: missing required port '{}'", label, required));
    }
  }
}

void Builder::check_children_count(const SourceDoc& doc, pugi::xml_node element,
                                   const NodeType& node_type, const std::string& label,
                                   std::size_t count) {
  if (count >= node_type.min_children && count <= node_type.max_children) return;
  auto children = [](std::size_t n) { return fmt::format("{} child{}", n, n == 1 ? "" : "ren"); };
  std::string expected;
  if (node_type.max_children == 0) {
    expected = "no children";
  } else if (node_type.min_children == node_type.max_children) {
    expected = "exactly " + children(node_type.min_children);
  } else if (node_type.max_children == kUnlimited) {
    expected = "at least " + children(node_type.min_children);
  } else {
    expected = fmt::format("{} to {} children", node_type.min_children, node_type.max_children);
  }
  fail(doc, element,
       fmt::format("{}: needs {} ({} node), has {}", label, expected, to_string(node_type.kind),
                   count));
}

std::unique_ptr<TreeNode> Builder::build_node(const SourceDoc& doc, pugi::xml_node element,
                                              const std::shared_ptr<Blackboard>& blackboard,
                                              std::size_t depth) {
  if (depth > kMaxDepth) fail(doc, element, fmt::format("tree nested deeper than {}", kMaxDepth));
  if (++node_count_ > kMaxNodes) {
    fail(doc, element, fmt::format("tree has more than {} nodes", kMaxNodes));
  }
  if (std::string_view(element.name()) == "SubTree") {
    return build_subtree(doc, element, blackboard, depth);
  }

  NodeConfig config;
  const NodeType& node_type = find_node_type(doc, element, config.registration_id);
  config.name = trim(element.attribute("name").value());
  if (config.name.empty()) config.name = config.registration_id;
  config.ports = node_type.ports;
  config.blackboard = blackboard;
  config.timers = timers_;
  const std::string label = node_label(config.name, config.registration_id);
  bind_ports(doc, element, node_type, label, config);
  const auto children = child_elements(doc, element);
  check_children_count(doc, element, node_type, label, children.size());

  std::unique_ptr<TreeNode> node;
  try {
    node = node_type.create(std::move(config));
  } catch (const std::exception& e) {
    // A node class whose constructor failed: the build error names the element, the cause is
    // nested (a host's exception reaches its caller as the cause).
    std::throw_with_nested(
        TreeBuildError(fmt::format("{}: {}: {}", doc.where(element), label, e.what())));
  }
  for (pugi::xml_node child : children) {
    auto built = build_node(doc, child, blackboard, depth + 1);
    try {
      node->addChild(std::move(built));
    } catch (const std::exception& e) {
      fail(doc, element, e.what());
    }
  }
  try {
    node->validate();
  } catch (const std::exception& e) {
    fail(doc, element, e.what());
  }
  return node;
}

std::unique_ptr<TreeNode> Builder::build_subtree(const SourceDoc& doc, pugi::xml_node element,
                                                 const std::shared_ptr<Blackboard>& blackboard,
                                                 std::size_t depth) {
  const std::string id(trim(element.attribute("ID").value()));
  if (id.empty()) fail(doc, element, "<SubTree> needs an ID attribute");
  if (set_.trees.count(id) == 0) {
    fail(doc, element, fmt::format("SubTree refers to unknown BehaviorTree '{}'", id));
  }
  if (std::find(subtree_stack_.begin(), subtree_stack_.end(), id) != subtree_stack_.end()) {
    std::string chain;
    for (const auto& tree : subtree_stack_) chain += tree + " -> ";
    fail(doc, element, fmt::format("SubTree '{}' contains itself ({}{})", id, chain, id));
  }
  if (!child_elements(doc, element).empty()) {
    fail(doc, element, fmt::format("SubTree '{}' must not have child elements", id));
  }

  NodeConfig config;
  config.registration_id = "SubTree";
  config.name = trim(element.attribute("name").value());
  if (config.name.empty()) config.name = id;
  config.blackboard = blackboard;
  config.timers = timers_;
  const std::string label = node_label(config.name, config.registration_id);

  // Every other attribute is a port of the subtree: a literal sets the subtree's own entry, a
  // reference makes the entry an alias of the caller's.
  auto inner = Blackboard::create(blackboard);
  std::vector<PortInfo> ports;
  for (pugi::xml_attribute attribute : element.attributes()) {
    const std::string key = attribute.name();
    const std::string value = attribute.value();
    if (key == "ID" || key == "name") continue;
    if (key == "_autoremap") {
      auto on = parse_bool(value);
      if (!on) {
        fail(doc, element,
             fmt::format("{}: _autoremap expects true or false, got '{}'", label, value));
      }
      inner->enable_autoremap(*on);
      continue;
    }
    if (key.front() == '_') fail(doc, element, unsupported_attribute(label, key));
    if (auto outer = reference_key(value, key)) {
      if (outer->empty()) {
        fail(doc, element,
             fmt::format("{}: attribute '{}' has a malformed blackboard reference '{}'", label, key,
                         value));
      }
      inner->add_remapping(key, *outer);
      ports.push_back(PortInfo{key, PortDirection::INOUT, PortType::OBJECT, ""});
      config.bindings.push_back(PortBinding::entry(*outer));
    } else {
      inner->set(key, value);
      ports.push_back(PortInfo{key, PortDirection::INPUT, PortType::STRING, ""});
      config.bindings.push_back(PortBinding::literal(value));
    }
  }
  config.ports = std::make_shared<const std::vector<PortInfo>>(std::move(ports));

  auto node = registry_.make_subtree(std::move(config), id);
  subtree_stack_.push_back(id);
  node->addChild(build_tree(id, inner, depth + 1));
  subtree_stack_.pop_back();
  return node;
}

}  // namespace

Tree build_tree(const NodeRegistry& registry, const TreeSet& trees) {
  return Builder(registry, trees).build();
}

}  // namespace kelmora::core::details
