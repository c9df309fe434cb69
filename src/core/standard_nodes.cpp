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

PortDescription input(std::string name, std::string type) {
  return make_port(std::move(name), std::move(type), "input");
}

template <class Node, class... Args>
NodeCreator creator(Args... args) {
  return [=](NodeConfig config) -> std::unique_ptr<TreeNode> {
    return std::make_unique<Node>(std::move(config), args...);
  };
}

NodeType control(NodeCreator create, std::size_t min_children = 1,
                 std::size_t max_children = kUnlimited, PortsList ports = {}) {
  return {NodeKind::CONTROL, std::move(ports), {}, min_children, max_children, std::move(create)};
}

NodeType decorator(NodeCreator create, PortsList ports = {},
                   std::vector<std::string> required = {}) {
  return {NodeKind::DECORATOR, std::move(ports), std::move(required), 1, 1, std::move(create)};
}

NodeType leaf(NodeCreator create, PortsList ports = {}, std::vector<std::string> required = {}) {
  return {NodeKind::ACTION, std::move(ports), std::move(required), 0, 0, std::move(create)};
}

}  // namespace

NodeRegistry standard_nodes() {
  NodeRegistry r;
  r["Sequence"] = control(creator<SequenceNode>(SequenceNode::Flavor::kSequence));
  r["SequenceWithMemory"] =
      control(creator<SequenceNode>(SequenceNode::Flavor::kSequenceWithMemory));
  r["Fallback"] = control(creator<SequenceNode>(SequenceNode::Flavor::kFallback));
  r["ReactiveSequence"] = control(creator<ReactiveNode>(ReactiveNode::Flavor::kSequence));
  r["ReactiveFallback"] = control(creator<ReactiveNode>(ReactiveNode::Flavor::kFallback));
  r["Parallel"] = control(creator<nodes::ParallelNode>(), 1, kUnlimited,
                          {input("success_count", "int"), input("failure_count", "int")});
  r["IfThenElse"] = control(creator<nodes::IfThenElseNode>(), 2, 3);
  r["WhileDoElse"] = control(creator<nodes::WhileDoElseNode>(), 2, 3);

  r["Inverter"] = decorator(creator<nodes::InverterNode>());
  r["ForceSuccess"] = decorator(creator<nodes::ForceNode>(NodeStatus::SUCCESS));
  r["ForceFailure"] = decorator(creator<nodes::ForceNode>(NodeStatus::FAILURE));
  r["Repeat"] = decorator(creator<RepeatNode>(RepeatNode::Flavor::kRepeat),
                          {input("num_cycles", "int")}, {"num_cycles"});
  r["RetryUntilSuccessful"] = decorator(creator<RepeatNode>(RepeatNode::Flavor::kRetry),
                                        {input("num_attempts", "int")}, {"num_attempts"});
  r["KeepRunningUntilFailure"] = decorator(creator<nodes::KeepRunningUntilFailureNode>());
  r["RunOnce"] = decorator(creator<nodes::RunOnceNode>(), {input("then_skip", "bool")});
  r["Delay"] =
      decorator(creator<nodes::DelayNode>(), {input("delay_msec", "uint")}, {"delay_msec"});
  r["Timeout"] = decorator(creator<nodes::TimeoutNode>(), {input("msec", "uint")}, {"msec"});

  r["AlwaysSuccess"] = leaf(creator<nodes::AlwaysNode>(NodeStatus::SUCCESS));
  r["AlwaysFailure"] = leaf(creator<nodes::AlwaysNode>(NodeStatus::FAILURE));
  r["SetBlackboard"] =
      leaf(creator<nodes::SetBlackboardNode>(),
           {input("value", "string"), input("output_key", "string")}, {"value", "output_key"});
  r["Sleep"] = leaf(creator<nodes::SleepNode>(), {input("msec", "uint")}, {"msec"});
  return r;
}

}  // namespace kelmora::core::details
