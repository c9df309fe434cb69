#include <fmt/format.h>

#include <algorithm>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/log.hpp>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "node_registry.hpp"
#include "tree_builder.hpp"
#include "xml_loader.hpp"

namespace kelmora::core {

struct BehaviorTreeFactory::Impl {
  details::NodeRegistry registry = details::standard_nodes();
  details::TreeLibrary library;
  // Shared with the trees built since the last registration; copied before it changes, so that
  // a tree keeps the names it was built with.
  std::shared_ptr<scripting::EnumRegistry> enums = std::make_shared<scripting::EnumRegistry>();

  details::BuildContext context() const { return {registry, library, enums}; }
};

namespace {

// Element names the XML format gives a meaning of their own.
const std::set<std::string_view> kReservedIds = {"root",           "BehaviorTree", "include",
                                                 "TreeNodesModel", "SubTree",      "Action",
                                                 "Condition",      "Control",      "Decorator"};

// The value of `key` in a port description, "" when absent.
const std::string& port_field(const PortDescription& port, const std::string& key) {
  static const std::string kEmpty;
  auto it = port.find(key);
  return it == port.end() ? kEmpty : it->second;
}

std::optional<PortType> registered_type(const std::string& type) {
  if (type == "string") return PortType::STRING;
  if (type == "object") return PortType::OBJECT;
  return std::nullopt;
}

std::optional<PortDirection> registered_direction(const std::string& direction) {
  if (direction == "input") return PortDirection::INPUT;
  if (direction == "output") return PortDirection::OUTPUT;
  return std::nullopt;
}

}  // namespace

namespace details {

ParsedPorts parse_ports(const std::string& action_id, const PortsList& ports) {
  ParsedPorts parsed;
  auto problem = [&](const std::string& what) {
    parsed.problem = fmt::format("cannot register action '{}': {}", action_id, what);
    parsed.ports.clear();
    return parsed;
  };
  std::set<std::string> names;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortDescription& port = ports[i];
    for (const auto& [key, value] : port) {
      if (key != "name" && key != "type" && key != "direction" && key != "description") {
        return problem(
            fmt::format("port {} has an unknown key '{}' (expected name, type, direction, "
                        "description)",
                        i + 1, key));
      }
    }
    const std::string& name = port_field(port, "name");
    if (name.empty()) return problem(fmt::format("port {} has no name", i + 1));
    if (name == "name" || name.front() == '_') {
      return problem(fmt::format("port name '{}' is reserved", name));
    }
    if (!names.insert(name).second) {
      return problem(fmt::format("port '{}' is declared twice", name));
    }
    const std::string& type = port_field(port, "type");
    const auto typed = registered_type(type);
    if (!typed) {
      return problem(
          fmt::format("port '{}' has type '{}' (expected \"string\" or \"object\")", name, type));
    }
    const std::string& direction = port_field(port, "direction");
    const auto directed = registered_direction(direction);
    if (!directed) {
      return problem(fmt::format("port '{}' has direction '{}' (expected \"input\" or \"output\")",
                                 name, direction));
    }
    parsed.ports.push_back(PortInfo{name, *directed, *typed, port_field(port, "description")});
  }
  return parsed;
}

}  // namespace details

namespace {

// Why an action may not be registered under `action_id`, whatever its ports.
std::optional<std::string> id_problem(const std::string& action_id) {
  if (action_id.empty()) return "cannot register an action with an empty id";
  if (kReservedIds.count(action_id) != 0) {
    return fmt::format("cannot register action '{}': the name is reserved by the tree XML format",
                       action_id);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> action_registration_problem(const std::string& action_id,
                                                       const PortsList& ports_list) {
  if (auto problem = id_problem(action_id)) return problem;
  return details::parse_ports(action_id, ports_list).problem;
}

BehaviorTreeFactory::BehaviorTreeFactory() : impl_(std::make_unique<Impl>()) {}
BehaviorTreeFactory::~BehaviorTreeFactory() = default;
BehaviorTreeFactory::BehaviorTreeFactory(BehaviorTreeFactory&&) noexcept = default;
BehaviorTreeFactory& BehaviorTreeFactory::operator=(BehaviorTreeFactory&&) noexcept = default;

void BehaviorTreeFactory::register_action_behavior(const std::string& action_id,
                                                   TickFunctor tick_functor, PortsList ports_list) {
  if (auto problem = id_problem(action_id)) throw TreeBuildError(*problem);
  auto parsed = details::parse_ports(action_id, ports_list);
  if (parsed.problem) throw TreeBuildError(*parsed.problem);
  details::NodeType node_type;
  node_type.kind = NodeKind::ACTION;
  node_type.ports = std::make_shared<const std::vector<PortInfo>>(std::move(parsed.ports));
  node_type.create = details::action_creator(std::move(tick_functor));
  impl_->registry.types[action_id] = std::move(node_type);
}

void BehaviorTreeFactory::register_condition_behavior(const std::string& condition_id,
                                                      TickFunctor tick_functor,
                                                      PortsList ports_list) {
  if (auto problem = id_problem(condition_id)) throw TreeBuildError(*problem);
  auto parsed = details::parse_ports(condition_id, ports_list);
  if (parsed.problem) throw TreeBuildError(*parsed.problem);
  details::NodeType node_type;
  node_type.kind = NodeKind::CONDITION;
  node_type.ports = std::make_shared<const std::vector<PortInfo>>(std::move(parsed.ports));
  node_type.create = details::condition_creator(std::move(tick_functor));
  impl_->registry.types[condition_id] = std::move(node_type);
}

namespace {

// Makes the nodes of a registered node class: checks that the class made a node of its kind and
// marks it for the contracts the core keeps around node classes.
NodeCreator node_class_creator(NodeKind kind, std::string class_name, NodeCreator create) {
  return [kind, class_name = std::move(class_name),
          create = std::move(create)](NodeConfig config) -> std::unique_ptr<TreeNode> {
    std::unique_ptr<TreeNode> node = create(std::move(config));
    if (!node) throw RuntimeError(fmt::format("node class {} made no node", class_name));
    if (node->kind() != kind) {
      throw RuntimeError(fmt::format("node class {} made a {} node, not a {} node", class_name,
                                     to_string(node->kind()), to_string(kind)));
    }
    details::NodeAccess::halt_children_on_completion(*node);
    return node;
  };
}

}  // namespace

void BehaviorTreeFactory::register_node_class(const NodeClass& node_class,
                                              std::optional<std::string> node_id) {
  const bool known = node_class.kind && *node_class.kind != NodeKind::SUBTREE;
  if (!known) {
    const std::string message = unknown_node_class_message(node_class.name);
    log::error(message);
    throw TypeError(message);
  }
  if (!node_class.create) {
    throw ValueError("node class " + node_class.name + " has no creator");
  }
  const std::string id = node_id ? std::move(*node_id) : node_class.name;
  if (auto problem = id_problem(id)) throw TreeBuildError(*problem);
  auto parsed = details::parse_ports(id, node_class.ports);
  if (parsed.problem) throw TreeBuildError(*parsed.problem);
  details::NodeType node_type;
  node_type.kind = *node_class.kind;
  node_type.ports = std::make_shared<const std::vector<PortInfo>>(std::move(parsed.ports));
  if (node_type.kind == NodeKind::CONTROL) {
    node_type.min_children = 1;
    node_type.max_children = details::kUnlimited;
  } else if (node_type.kind == NodeKind::DECORATOR) {
    node_type.min_children = node_type.max_children = 1;
  }
  node_type.create = node_class_creator(node_type.kind, node_class.name, node_class.create);
  impl_->registry.types[id] = std::move(node_type);
}

bool BehaviorTreeFactory::has_node_type(const std::string& id) const {
  return id == "SubTree" || impl_->registry.types.count(id) != 0;
}

void BehaviorTreeFactory::register_scripting_enum(std::string_view name, std::int64_t value) {
  register_scripting_enums({{std::string(name), value}});
}

void BehaviorTreeFactory::register_scripting_enums(
    const std::vector<std::pair<std::string, std::int64_t>>& values) {
  // Checked on a copy: all or nothing, and trees already built keep the names they have.
  auto enums = std::make_shared<scripting::EnumRegistry>(*impl_->enums);
  for (const auto& [name, value] : values) enums->register_enum(name, value);
  impl_->enums = std::move(enums);
}

const scripting::EnumRegistry& BehaviorTreeFactory::scripting_enums() const noexcept {
  return *impl_->enums;
}

namespace {

// Whether two BehaviorTree elements come from the same file (read again, or once on its own and
// once through an include): the later may replace the earlier.
bool same_file(const details::TreeElement& a, const details::TreeElement& b) {
  return !a.doc->key.empty() && a.doc->key == b.doc->key;
}

}  // namespace

std::vector<std::string> BehaviorTreeFactory::register_trees(
    const std::vector<std::shared_ptr<const TreeDefinitions>>& batch) {
  // Everything is checked before anything is registered: a refused batch changes nothing.
  std::map<std::string, const details::TreeElement*, std::less<>> seen;
  for (const auto& definitions : batch) {
    if (!definitions) throw ValueError("register_trees needs tree definitions, not null");
    for (const std::string& id : definitions->tree_ids()) {
      const details::TreeElement& element = definitions->set().trees.at(id);
      const details::TreeElement* before = nullptr;
      if (auto it = seen.find(id); it != seen.end()) {
        before = it->second;
      } else if (auto at = impl_->library.trees.find(id); at != impl_->library.trees.end()) {
        before = &at->second.tree;
      }
      if (before != nullptr && !same_file(*before, element)) {
        throw TreeBuildError(fmt::format(
            "BehaviorTree '{}' is defined twice among the registered tree definitions: in {} and "
            "in {}",
            id, before->doc->where(before->element), element.doc->where(element.element)));
      }
      seen[id] = &element;
    }
  }
  std::vector<std::string> ids;
  for (const auto& definitions : batch) {
    const auto set = std::shared_ptr<const details::TreeSet>(definitions, &definitions->set());
    for (const std::string& id : set->tree_order) {
      impl_->library.trees[id] = {definitions, set->trees.at(id)};
      ids.push_back(id);
    }
    for (const auto& [id, defaults] : set->subtree_defaults) {
      impl_->library.subtree_defaults[id] = {set, &defaults};
    }
    auto& files = impl_->library.files;
    if (std::find(files.begin(), files.end(), definitions->name()) == files.end()) {
      files.push_back(definitions->name());
    }
  }
  return ids;
}

std::vector<std::string> BehaviorTreeFactory::register_trees(
    std::shared_ptr<const TreeDefinitions> definitions) {
  return register_trees(
      std::vector<std::shared_ptr<const TreeDefinitions>>{std::move(definitions)});
}

std::vector<std::string> BehaviorTreeFactory::register_tree_text(const std::string& xml_text) {
  return register_trees(TreeDefinitions::load(TreeSource::from_text(xml_text)));
}

std::vector<std::string> BehaviorTreeFactory::register_tree_file(const std::string& path) {
  return register_trees(TreeDefinitions::load(TreeSource::from_file(path)));
}

std::vector<std::string> BehaviorTreeFactory::register_tree_folder(const std::string& path) {
  return register_trees(TreeDefinitions::load_folder(path));
}

std::vector<std::string> BehaviorTreeFactory::registered_tree_ids() const {
  std::vector<std::string> ids;
  for (const auto& [id, definition] : impl_->library.trees) ids.push_back(id);
  return ids;
}

std::shared_ptr<const TreeDefinitions> BehaviorTreeFactory::registered_tree(
    const std::string& tree_name) const {
  auto it = impl_->library.trees.find(tree_name);
  if (it != impl_->library.trees.end()) return it->second.definitions;
  std::string known;
  for (const auto& [id, definition] : impl_->library.trees) {
    known += (known.empty() ? "" : ", ") + id;
  }
  throw TreeBuildError(
      fmt::format("cannot create tree '{}': no BehaviorTree with this ID is registered ({})",
                  tree_name, known.empty() ? "none is registered" : "registered: " + known));
}

Tree BehaviorTreeFactory::create_tree_by_name(const std::string& tree_name) const {
  (void)registered_tree(tree_name);
  details::TreeSet own;
  own.main_tree = tree_name;
  return details::build_tree(impl_->context(), own);
}

Tree BehaviorTreeFactory::create_tree(const TreeSource& source) const {
  const auto registered = [this](const std::string& id) {
    return impl_->library.trees.count(id) != 0;
  };
  return details::build_tree(impl_->context(), details::load_tree(source, registered));
}

Tree BehaviorTreeFactory::create_tree_from_text(const std::string& xml_text) const {
  return create_tree(TreeSource::from_text(xml_text));
}

Tree BehaviorTreeFactory::create_tree_from_file(const std::string& path) const {
  return create_tree(TreeSource::from_file(path));
}

}  // namespace kelmora::core
