#pragma once
// The two agent action node classes: one makes an agent on an Ollama model, one runs an agent on
// a user input in streaming mode and leaves the response stream in the blackboard. Register them
// by class: engine.register_action_class<CreateAgentOllama>("CreateAgentOllama").
//
// Their tick functions hold no state: they run on the worker thread of the tree being ticked,
// possibly on several trees' workers at once. Thread-safe.

#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/nodes/action_node.hpp>

namespace kelmora::llm {

// Inputs model_id and description (text); output agent: a std::shared_ptr<Agent> on an Ollama
// model with that id (server from OLLAMA_HOST), that description and markdown on. Every tick makes
// a new model and agent. Contacts no server.
struct CreateAgentOllama : SimpleActionNode {
  // Returns SUCCESS; a failure (an input that cannot be read, a malformed OLLAMA_HOST) throws and
  // leaves the output unwritten.
  static core::NodeStatus tick(core::TreeNode& node);
  static inline const core::PortsList ports = {
      core::make_port("model_id", "string", "input", ""),
      core::make_port("description", "string", "input", ""),
      core::make_port("agent", "object", "output", ""),
  };
};

// Inputs agent (an object: the std::shared_ptr<Agent>), instructions (an object, read and not
// used) and user_input (text); output response_stream: the std::shared_ptr<ResponseStream> of
// agent->run(user_input, true), unread. Every tick starts a new run and replaces the output.
struct GetStreamResponse : SimpleActionNode {
  // Returns SUCCESS once the run has started. Throws TypeError naming what the agent entry holds
  // when it holds no agent; the output is then not written. Failures of the chat itself reach
  // the stream's consumer, not the tick.
  static core::NodeStatus tick(core::TreeNode& node);
  static inline const core::PortsList ports = {
      core::make_port("agent", "object", "input", ""),
      core::make_port("instructions", "object", "input", ""),
      core::make_port("response_stream", "object", "output", ""),
      core::make_port("user_input", "string", "input", ""),
  };
};

}  // namespace kelmora::llm
