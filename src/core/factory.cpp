#include <fmt/format.h>

#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/log.hpp>
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

Tree BehaviorTreeFactory::create_tree(const TreeSource& source) const {
  return details::build_tree(impl_->registry, details::load_tree(source));
}

Tree BehaviorTreeFactory::create_tree_from_text(const std::string& xml_text) const {
  return create_tree(TreeSource::from_text(xml_text));
}

Tree BehaviorTreeFactory::create_tree_from_file(const std::string& path) const {
  return create_tree(TreeSource::from_file(path));
}

}  // namespace kelmora::core
