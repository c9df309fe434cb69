// Uses the installed kelmora as a user's program would: a tree in the thread engine, an agent
// description from the agent layer (no server is contacted). Prints one line and exits 0.

#include <iostream>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/server_address.hpp>
#include <memory>

int main() {
  kelmora::ThreadEngine engine;
  engine.register_action_behavior(
      "Hello", [](kelmora::core::TreeNode&) { return kelmora::core::NodeStatus::SUCCESS; }, {});
  const std::string id = engine.create_tree_from_text(R"(
<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence><Hello/></Sequence></BehaviorTree></root>)");
  const kelmora::core::NodeStatus status = engine.tick_once(id);
  engine.stop_all_trees();

  const auto address = kelmora::llm::parse_ollama_host("127.0.0.1:11434");
  std::cout << "installed kelmora: tick " << status << ", server " << address.host << "\n";
  return status == kelmora::core::NodeStatus::SUCCESS ? 0 : 1;
}
