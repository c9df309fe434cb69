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

// Runs an agent inside the tree, streaming: inputs agent (an object: the std::shared_ptr<Agent>)
// and user_input (text); outputs answer (text: the answer so far, growing as pieces arrive),
// thinking (text: the model's thinking so far, when it thinks) and error (text: why the run
// failed). Outputs the tree does not bind are not written.
//
// A stateful action that lasts across ticks:
// - start (a tick while not RUNNING): starts agent->run(user_input) and returns RUNNING; answer
//   and thinking are set to "" (error is left as it is). Every piece that arrives wakes the tree
//   (TreeNode::emitWakeUpSignal), on the thread of the transfer, so a tick loop ticks at once.
// - running (later ticks): appends what has arrived to answer and thinking; RUNNING until the
//   answer is complete (SUCCESS; an answer cut short by num_predict or the context counts as
//   complete), or FAILURE when the chat failed: the model server's error (ModelServerError text,
//   naming server and model) goes to error, what arrived before it stays in answer.
// - halted while RUNNING: drops the run, which closes the connection (the server sees the
//   client go away) and joins the transfer's thread before the halt returns.
// Several RunAgent nodes (under a Parallel, or in different trees) stream at the same time.
//
// Registered like the other agent nodes: engine.register_action_class<RunAgent>("RunAgent").
// Throws (the tick fails) for an agent entry that holds no agent, as GetStreamResponse does.
struct RunAgent : SimpleActionNode {
  static core::NodeStatus tick(core::TreeNode& node);
  static inline const core::PortsList ports = {
      core::make_port("agent", "object", "input", ""),
      core::make_port("user_input", "string", "input", ""),
      core::make_port("answer", "string", "output", ""),
      core::make_port("thinking", "string", "output", ""),
      core::make_port("error", "string", "output", ""),
  };
};

}  // namespace kelmora::llm
