#include <fmt/format.h>

#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/nodes/action_node.hpp>
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

// Why a port description is malformed; std::nullopt when every port is well-formed.
std::optional<std::string> ports_problem(const std::string& action_id, const PortsList& ports) {
  auto problem = [&](const std::string& what) {
    return fmt::format("cannot register action '{}': {}", action_id, what);
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
    const std::string& name = details::port_field(port, "name");
    if (name.empty()) return problem(fmt::format("port {} has no name", i + 1));
    if (name == "name" || name.front() == '_') {
      return problem(fmt::format("port name '{}' is reserved", name));
    }
    if (!names.insert(name).second)
      return problem(fmt::format("port '{}' is declared twice", name));
    const std::string& type = details::port_field(port, "type");
    if (type != "string" && type != "object") {
      return problem(
          fmt::format("port '{}' has type '{}' (expected \"string\" or \"object\")", name, type));
    }
    const std::string& direction = details::port_field(port, "direction");
    if (direction != "input" && direction != "output") {
      return problem(fmt::format("port '{}' has direction '{}' (expected \"input\" or \"output\")",
                                 name, direction));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> action_registration_problem(const std::string& action_id,
                                                       const PortsList& ports_list) {
  if (action_id.empty()) return "cannot register an action with an empty id";
  if (kReservedIds.count(action_id) != 0) {
    return fmt::format("cannot register action '{}': the name is reserved by the tree XML format",
                       action_id);
  }
  return ports_problem(action_id, ports_list);
}

BehaviorTreeFactory::BehaviorTreeFactory() : impl_(std::make_unique<Impl>()) {}
BehaviorTreeFactory::~BehaviorTreeFactory() = default;
BehaviorTreeFactory::BehaviorTreeFactory(BehaviorTreeFactory&&) noexcept = default;
BehaviorTreeFactory& BehaviorTreeFactory::operator=(BehaviorTreeFactory&&) noexcept = default;

void BehaviorTreeFactory::register_action_behavior(const std::string& action_id,
                                                   TickFunctor tick_functor, PortsList ports_list) {
  if (auto problem = action_registration_problem(action_id, ports_list)) {
    throw TreeBuildError(*problem);
  }
  details::NodeType node_type;
  node_type.kind = NodeKind::ACTION;
  node_type.ports = std::move(ports_list);
  node_type.create = [tick = std::move(tick_functor)](NodeConfig config) {
    return std::make_unique<nodes::SimpleActionNode>(std::move(config), tick);
  };
  impl_->registry[action_id] = std::move(node_type);
}

bool BehaviorTreeFactory::has_node_type(const std::string& id) const {
  return id == "SubTree" || impl_->registry.count(id) != 0;
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
