#include <kelmora/core/errors.hpp>
#include <kelmora/llm/agent.hpp>

namespace kelmora::llm {

Agent::Agent(Options options) : options_(std::move(options)) {
  if (!options_.model) throw ValueError("an Agent needs a model (Agent::Options::model is null)");
}

std::string Agent::system_message() const {
  std::string message = options_.description;
  if (options_.markdown) {
    if (!message.empty()) message += ' ';
    message += kMarkdownInstruction;
  }
  return message;
}

std::shared_ptr<ResponseStream> Agent::run(const std::string& input, bool stream) const {
  ChatOptions options;
  options.stream = stream;
  return run_with(input, options);
}

std::shared_ptr<ResponseStream> Agent::run_with(const std::string& input,
                                                const ChatOptions& options) const {
  std::vector<ChatMessage> messages;
  if (std::string system = system_message(); !system.empty()) {
    messages.push_back({"system", std::move(system)});
  }
  messages.push_back({"user", input});
  return options_.model->chat(std::move(messages), options);
}

}  // namespace kelmora::llm
