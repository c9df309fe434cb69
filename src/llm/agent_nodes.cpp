#include <any>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/wake_up_signal.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/ollama.hpp>
#include <memory>
#include <string>
#include <string_view>

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

namespace {

// The agent the node's "agent" input holds; TypeError naming what it holds instead, for the
// node class `who`.
std::shared_ptr<Agent> agent_input(core::TreeNode& node, const char* who) {
  std::any agent_value = node.getInputObject("agent");
  const auto* agent = std::any_cast<std::shared_ptr<Agent>>(&agent_value);
  if (agent == nullptr || !*agent) {
    std::string held = !agent_value.has_value() ? "nothing (no agent was written to its entry)"
                       : agent != nullptr       ? "an empty agent pointer"
                                          : "a value of kind " + core::any_kind_name(agent_value);
    throw TypeError(std::string(who) + ": the input \"agent\" holds " + held +
                    ", not an agent made by CreateAgentOllama");
  }
  return *agent;
}

// Writes `text` to the output `port` when the tree binds it.
void set_text(core::TreeNode& node, std::string_view port, const std::string& text) {
  if (node.isPortBound(port)) node.setOutput(port, std::any(text));
}

// One run of a RunAgent node: its stream, and the answer and thinking gathered so far.
class AgentRun final : public nodes::ActionRun {
 public:
  // Starts the run: the chat, with every arrival waking the node's tree.
  AgentRun(core::TreeNode& node, const Agent& agent, const std::string& user_input)
      : stream_(agent.run(user_input, /*stream=*/true)) {
    if (std::shared_ptr<core::WakeUpSignal> signal = node.wakeUpSignal()) {
      // Holds the signal, not the node: the transfer's thread may call it until the stream is
      // dropped, and the signal outlives the tree if need be.
      stream_->set_on_arrival([signal] { signal->emit(); });
    }
    set_text(node, "answer", answer_);
    set_text(node, "thinking", thinking_);
  }

  // Takes what has arrived: RUNNING while the answer goes on, SUCCESS once it is complete,
  // FAILURE (with the error) when the chat failed.
  core::NodeStatus resume(core::TreeNode& node) override {
    bool more_answer = false;
    bool more_thinking = false;
    core::NodeStatus status = core::NodeStatus::RUNNING;
    try {
      for (;;) {
        ResponseStream::Poll poll = stream_->try_next();
        if (poll.state == ResponseStream::Poll::State::kPending) break;
        if (poll.state == ResponseStream::Poll::State::kEnd) {
          status = core::NodeStatus::SUCCESS;
          break;
        }
        more_answer = more_answer || !poll.item.content.empty();
        more_thinking = more_thinking || !poll.item.thinking.empty();
        answer_ += poll.item.content;
        thinking_ += poll.item.thinking;
      }
    } catch (const std::exception& e) {
      set_text(node, "error", e.what());
      status = core::NodeStatus::FAILURE;
    }
    if (more_answer) set_text(node, "answer", answer_);
    if (more_thinking) set_text(node, "thinking", thinking_);
    return status;
  }

  // Drops the stream: its destructor closes the connection and joins the transfer's thread.
  void halt(core::TreeNode&) override { stream_.reset(); }

 private:
  std::shared_ptr<ResponseStream> stream_;
  std::string answer_;
  std::string thinking_;
};

}  // namespace

core::NodeStatus GetStreamResponse::tick(core::TreeNode& node) {
  std::shared_ptr<Agent> agent = agent_input(node, "GetStreamResponse");
  // Declared and bound by trees, but it takes no part in the run; an unwritten entry reads as none.
  (void)node.getInputObject("instructions");
  std::string user_input = node.getInputString("user_input");
  std::shared_ptr<ResponseStream> stream = agent->run(user_input, /*stream=*/true);
  node.setOutput("response_stream", std::any(std::move(stream)));
  return core::NodeStatus::SUCCESS;
}

core::NodeStatus RunAgent::tick(core::TreeNode& node) {
  std::shared_ptr<Agent> agent = agent_input(node, "RunAgent");
  const std::string user_input = node.getInputString("user_input");
  auto run = std::make_unique<AgentRun>(node, *agent, user_input);
  // What arrived while the run started (the whole answer, at times) is taken at once.
  const core::NodeStatus status = run->resume(node);
  if (status == core::NodeStatus::RUNNING) nodes::continue_with(node, std::move(run));
  return status;
}

}  // namespace kelmora::llm
