// A first kelmora program: one action registered with the thread engine, two trees built from
// the same XML, each ticked from the main thread while its worker thread does the work.

#include <iostream>
#include <kelmora/engine/trigger/mthread.hpp>
#include <string>

namespace {

// An action node class: derives from SimpleActionNode, carries a static tick and its ports.
struct Greet : kelmora::SimpleActionNode {
  static inline const kelmora::core::PortsList ports = {
      kelmora::core::make_port("who", "string", "input"),
      kelmora::core::make_port("greeting", "object", "output"),
  };
  static kelmora::core::NodeStatus tick(kelmora::core::TreeNode& node) {
    node.setOutput("greeting", std::string("hello, ") + node.getInputString("who"));
    return kelmora::core::NodeStatus::SUCCESS;
  }
};

// One tick runs both children: Greet succeeds, then KeepRunningUntilFailure ticks its child,
// which succeeds, so it answers RUNNING and the tree is RUNNING.
constexpr const char* kTree = R"(
<root BTCPP_format="4">
  <BehaviorTree ID="MainTree">
    <Sequence name="root_sequence">
      <Greet who="{name}" greeting="{greeting}"/>
      <KeepRunningUntilFailure>
        <Sequence>
          <Count before="{counter}" after="{counter}"/>
        </Sequence>
      </KeepRunningUntilFailure>
    </Sequence>
  </BehaviorTree>
</root>)";

}  // namespace

int main() {
  using kelmora::core::NodeStatus;
  kelmora::ThreadEngine engine;
  engine.register_action_class<Greet>();
  // An action registered by its three parts: id, tick function, ports.
  engine.register_action_behavior("Count",
                                  [](kelmora::core::TreeNode& node) {
                                    auto value = node.getInputObject("before");
                                    long count = value.has_value() ? std::any_cast<long>(value) : 0;
                                    node.setOutput("after", count + 1);
                                    return NodeStatus::SUCCESS;
                                  },
                                  {kelmora::core::make_port("before", "object", "input"),
                                   kelmora::core::make_port("after", "object", "output")});

  for (std::string who : {"Ada", "Grace"}) {
    std::string id = engine.create_tree_from_text(kTree, "tree-" + who);
    engine.set_blackboard_data(id, "name", who);
    NodeStatus first = engine.tick_once(id);
    std::vector<NodeStatus> statuses = engine.tick_n_times(id, 3);
    std::cout << id << ": first tick " << first << ", then";
    for (auto s : statuses) std::cout << ' ' << s;
    std::cout << "; greeting \""
              << std::any_cast<std::string>(engine.get_blackboard_data(id, "greeting"))
              << "\", Count ran " << std::any_cast<long>(engine.get_blackboard_data(id, "counter"))
              << " times\n";
  }
  engine.stop_all_trees();
  return 0;
}
