#include <any>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/ollama.hpp>
#include <memory>

namespace kelmora::llm {

core::NodeStatus CreateAgentOllama::tick(core::TreeNode& node) {
  std::string model_id = node.getInputString("model_id");
  std::string description = node.getInputString("description");
  auto model = std::make_shared<Ollama>(std::move(model_id));
  auto agent = std::make_shared<Agent>(Agent::Options{
      .model = std::move(model), .description = std::move(description), .markdown = true});
  node.setOutput("agent", std::any(std::move(agent)));
  return core::NodeStatus::SUCCESS;
}

core::NodeStatus GetStreamResponse::tick(core::TreeNode& node) {
  std::any agent_value = node.getInputObject("agent");
  // Declared and bound by trees, but it takes no part in the run; an unwritten entry reads as none.
  (void)node.getInputObject("instructions");
  std::string user_input = node.getInputString("user_input");

  const auto* agent = std::any_cast<std::shared_ptr<Agent>>(&agent_value);
  if (agent == nullptr || !*agent) {
    std::string held = !agent_value.has_value() ? "nothing (no agent was written to its entry)"
                       : agent != nullptr       ? "an empty agent pointer"
                                          : "a value of kind " + core::any_kind_name(agent_value);
    throw TypeError("GetStreamResponse: the input \"agent\" holds " + held +
                    ", not an agent made by CreateAgentOllama");
  }
  std::shared_ptr<ResponseStream> stream = (*agent)->run(user_input, /*stream=*/true);
  node.setOutput("response_stream", std::any(std::move(stream)));
  return core::NodeStatus::SUCCESS;
}

}  // namespace kelmora::llm
