#include "tree_builder.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/controls.hpp>
#include <kelmora/nodes/leaves.hpp>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "port_reference.hpp"
#include "tree_impl.hpp"

namespace kelmora::core::details {
namespace {

constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kMaxNodes = 200000;

const std::set<std::string_view> kExplicitForms = {"Action", "Condition", "Control", "Decorator"};

class Builder {
 public:
  Builder(const NodeRegistry& registry, const TreeSet& set) : registry_(registry), set_(set) {}

  Tree build() {
    auto impl = std::make_unique<Tree::Impl>();
    timers_ = impl->timers;
    impl->main_tree_id = set_.main_tree;
    subtree_stack_ = {set_.main_tree};
    impl->root = build_tree(set_.main_tree, impl->blackboard, 0);
    return Tree(std::move(impl));
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
  // Fills config.attributes from the element, checking each against the node's ports.
  void read_attributes(const SourceDoc& doc, pugi::xml_node element, const NodeType& node_type,
                       NodeConfig& config);
  void check_children_count(const SourceDoc& doc, pugi::xml_node element, const NodeType& node_type,
                            const std::string& label, std::size_t count);
  // Checks one attribute value against the node's declared port of that name.
  void check_port_attribute(const SourceDoc& doc, pugi::xml_node element, const std::string& label,
                            const NodeType& node_type, const std::string& port,
                            const std::string& value);

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

void Builder::check_port_attribute(const SourceDoc& doc, pugi::xml_node element,
                                   const std::string& label, const NodeType& node_type,
                                   const std::string& port, const std::string& value) {
  auto it = std::find_if(node_type.ports.begin(), node_type.ports.end(),
                         [&](const PortDescription& p) { return port_field(p, "name") == port; });
  if (it == node_type.ports.end()) {
    std::string known;
    for (const auto& p : node_type.ports)
      known += (known.empty() ? "" : ", ") + port_field(p, "name");
    fail(doc, element,
         fmt::format("{}: attribute '{}' is not a port of this node ({})", label, port,
                     known.empty() ? "it has no ports" : "ports: " + known));
  }
  const auto key = reference_key(value, port);
  if (key && key->empty()) {
    fail(
        doc, element,
        fmt::format("{}: port '{}' has a malformed blackboard reference '{}'", label, port, value));
  }
  if (port_field(*it, "direction") == "output") {
    if (!key) {
      fail(doc, element,
           fmt::format("{}: output port '{}' must be a blackboard reference like {{key}}, not '{}'",
                       label, port, value));
    }
    return;
  }
  if (key) return;  // the entry is read at tick time
  const std::string& type = port_field(*it, "type");
  if (type == "int" || type == "uint") {
    auto number = parse_int(value);
    if (!number || (type == "uint" && *number < 0)) {
      fail(doc, element,
           fmt::format("{}: port '{}' expects {}, got '{}'", label, port,
                       type == "int" ? "an integer" : "an integer >= 0", value));
    }
  } else if (type == "bool" && !parse_bool(value)) {
    fail(doc, element,
         fmt::format("{}: port '{}' expects true or false, got '{}'", label, port, value));
  }
}

const NodeType& Builder::find_node_type(const SourceDoc& doc, pugi::xml_node element,
                                        std::string& id) {
  const std::string tag = element.name();
  const bool explicit_form = kExplicitForms.count(tag) != 0;
  id = explicit_form ? std::string(trim(element.attribute("ID").value())) : tag;
  if (id.empty()) fail(doc, element, fmt::format("<{}> needs an ID attribute", tag));
  auto it = registry_.find(id);
  if (it == registry_.end()) fail(doc, element, fmt::format("unknown node type '{}'", id));
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

void Builder::read_attributes(const SourceDoc& doc, pugi::xml_node element,
                              const NodeType& node_type, NodeConfig& config) {
  const std::string label = fmt::format("node '{}' ({})", config.name, config.registration_id);
  const bool explicit_form = kExplicitForms.count(element.name()) != 0;
  for (pugi::xml_attribute attribute : element.attributes()) {
    const std::string port = attribute.name();
    if (port == "name" || (explicit_form && port == "ID")) continue;
    if (port.front() == '_') {
      fail(doc, element,
           fmt::format("{}: attribute '{}' is not supported ({})", label, port,
                       port == "_autoremap" ? "it is only allowed on SubTree"
                                            : "scripting preconditions and other '_' attributes "
                                              "are not supported"));
    }
    const std::string value = attribute.value();
    check_port_attribute(doc, element, label, node_type, port, value);
    if (!config.attributes.emplace(port, value).second) {
      fail(doc, element, fmt::format("{}: attribute '{}' is given twice", label, port));
    }
  }
  for (const auto& required : node_type.required_ports) {
    if (config.attributes.count(required) == 0) {
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
  read_attributes(doc, element, node_type, config);
  const std::string label = fmt::format("node '{}' ({})", config.name, config.registration_id);
  const auto children = child_elements(doc, element);
  check_children_count(doc, element, node_type, label, children.size());

  std::unique_ptr<TreeNode> node = node_type.create(std::move(config));
  auto* control = dynamic_cast<nodes::ControlNode*>(node.get());
  auto* decorator = dynamic_cast<nodes::DecoratorNode*>(node.get());
  for (pugi::xml_node child : children) {
    auto built = build_node(doc, child, blackboard, depth + 1);
    if (control != nullptr) {
      control->addChild(std::move(built));
    } else if (decorator != nullptr) {
      decorator->setChild(std::move(built));
    } else {
      fail(doc, element, fmt::format("{}: this node type cannot hold children", label));
    }
  }
  if (auto* parallel = dynamic_cast<nodes::ParallelNode*>(node.get())) {
    try {
      parallel->checkThresholds();
    } catch (const std::exception& e) {
      fail(doc, element, e.what());
    }
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
  const std::string label = fmt::format("node '{}' (SubTree)", config.name);

  auto inner = Blackboard::create(blackboard);
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
    } else if (key.front() == '_') {
      fail(doc, element,
           fmt::format("{}: attribute '{}' is not supported (scripting preconditions and other "
                       "'_' attributes are not supported)",
                       label, key));
    } else if (auto outer = reference_key(value, key)) {
      if (outer->empty()) {
        fail(doc, element,
             fmt::format("{}: attribute '{}' has a malformed blackboard reference '{}'", label, key,
                         value));
      }
      inner->add_remapping(key, *outer);
    } else {
      inner->set(key, value);
    }
    config.attributes.emplace(key, value);
  }

  auto node = std::make_unique<nodes::SubTreeNode>(std::move(config), id);
  subtree_stack_.push_back(id);
  node->setChild(build_tree(id, inner, depth + 1));
  subtree_stack_.pop_back();
  return node;
}

}  // namespace

Tree build_tree(const NodeRegistry& registry, const TreeSet& trees) {
  return Builder(registry, trees).build();
}

}  // namespace kelmora::core::details
