// The standard node types. This file is where the core meets the standard nodes: it is the only
// part of the core that names their classes.

#include <kelmora/nodes/action_node.hpp>
#include <kelmora/nodes/condition_node.hpp>
#include <kelmora/nodes/controls.hpp>
#include <kelmora/nodes/decorators.hpp>
#include <kelmora/nodes/leaves.hpp>
#include <utility>

#include "node_registry.hpp"

namespace kelmora::core::details {
namespace {

using nodes::ReactiveNode;
using nodes::RepeatNode;
using nodes::SequenceNode;

PortInfo input(std::string name, PortType type) {
  return PortInfo{std::move(name), PortDirection::INPUT, type, ""};
}

std::shared_ptr<const std::vector<PortInfo>> ports(std::vector<PortInfo> list) {
  return std::make_shared<const std::vector<PortInfo>>(std::move(list));
}

template <class Node, class... Args>
NodeCreator creator(Args... args) {
  return [=](NodeConfig config) -> std::unique_ptr<TreeNode> {
    return std::make_unique<Node>(std::move(config), args...);
  };
}

NodeType control(NodeCreator create, std::size_t min_children = 1,
                 std::size_t max_children = kUnlimited, std::vector<PortInfo> list = {}) {
  return {NodeKind::CONTROL, ports(std::move(list)), {},
          min_children,      max_children,           std::move(create)};
}

NodeType decorator(NodeCreator create, std::vector<PortInfo> list = {},
                   std::vector<std::string> required = {}) {
  return {NodeKind::DECORATOR, ports(std::move(list)), std::move(required), 1, 1,
          std::move(create)};
}

NodeType leaf(NodeCreator create, std::vector<PortInfo> list = {},
              std::vector<std::string> required = {}) {
  return {NodeKind::ACTION, ports(std::move(list)), std::move(required), 0, 0, std::move(create)};
}

}  // namespace

NodeRegistry standard_nodes() {
  NodeRegistry registry;
  auto& r = registry.types;
  r["Sequence"] = control(creator<SequenceNode>(SequenceNode::Flavor::kSequence));
  r["SequenceWithMemory"] =
      control(creator<SequenceNode>(SequenceNode::Flavor::kSequenceWithMemory));
  r["Fallback"] = control(creator<SequenceNode>(SequenceNode::Flavor::kFallback));
  r["ReactiveSequence"] = control(creator<ReactiveNode>(ReactiveNode::Flavor::kSequence));
  r["ReactiveFallback"] = control(creator<ReactiveNode>(ReactiveNode::Flavor::kFallback));
  r["Parallel"] =
      control(creator<nodes::ParallelNode>(), 1, kUnlimited,
              {input("success_count", PortType::INT), input("failure_count", PortType::INT)});
  r["IfThenElse"] = control(creator<nodes::IfThenElseNode>(), 2, 3);
  r["WhileDoElse"] = control(creator<nodes::WhileDoElseNode>(), 2, 3);

  r["Inverter"] = decorator(creator<nodes::InverterNode>());
  r["ForceSuccess"] = decorator(creator<nodes::ForceNode>(NodeStatus::SUCCESS));
  r["ForceFailure"] = decorator(creator<nodes::ForceNode>(NodeStatus::FAILURE));
  r["Repeat"] = decorator(creator<RepeatNode>(RepeatNode::Flavor::kRepeat),
                          {input("num_cycles", PortType::INT)}, {"num_cycles"});
  r["RetryUntilSuccessful"] = decorator(creator<RepeatNode>(RepeatNode::Flavor::kRetry),
                                        {input("num_attempts", PortType::INT)}, {"num_attempts"});
  r["KeepRunningUntilFailure"] = decorator(creator<nodes::KeepRunningUntilFailureNode>());
  r["RunOnce"] = decorator(creator<nodes::RunOnceNode>(), {input("then_skip", PortType::BOOL)});
  r["Delay"] =
      decorator(creator<nodes::DelayNode>(), {input("delay_msec", PortType::UINT)}, {"delay_msec"});
  r["Timeout"] =
      decorator(creator<nodes::TimeoutNode>(), {input("msec", PortType::UINT)}, {"msec"});

  r["AlwaysSuccess"] = leaf(creator<nodes::AlwaysNode>(NodeStatus::SUCCESS));
  r["AlwaysFailure"] = leaf(creator<nodes::AlwaysNode>(NodeStatus::FAILURE));
  r["SetBlackboard"] =
      leaf(creator<nodes::SetBlackboardNode>(),
           {input("value", PortType::STRING), input("output_key", PortType::STRING)},
           {"value", "output_key"});
  r["Sleep"] = leaf(creator<nodes::SleepNode>(), {input("msec", PortType::UINT)}, {"msec"});

  registry.make_subtree = [](NodeConfig config, std::string id) -> std::unique_ptr<TreeNode> {
    return std::make_unique<nodes::SubTreeNode>(std::move(config), std::move(id));
  };
  return registry;
}

NodeCreator action_creator(TickFunctor tick) {
  return [tick = std::move(tick)](NodeConfig config) -> std::unique_ptr<TreeNode> {
    return std::make_unique<nodes::SimpleActionNode>(std::move(config), tick);
  };
}

NodeCreator condition_creator(TickFunctor tick) {
  return [tick = std::move(tick)](NodeConfig config) -> std::unique_ptr<TreeNode> {
    return std::make_unique<nodes::SimpleConditionNode>(std::move(config), tick);
  };
}

}  // namespace kelmora::core::details
