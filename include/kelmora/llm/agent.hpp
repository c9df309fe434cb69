#pragma once
// Agent: a language-model agent, a model plus the system message that sets its role.

#include <kelmora/llm/ollama.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <memory>
#include <string>
#include <string_view>

namespace kelmora::llm {

// The sentence added to the system message when an agent answers in markdown.
inline constexpr std::string_view kMarkdownInstruction = "Use markdown to format your answers.";

// An agent on a model; the model carries the chat settings (think, options, keep_alive, servers).
// Its system message is its description, followed, with markdown on, by
// kMarkdownInstruction. Making one never contacts the server. Immutable after construction, so
// thread-safe; one agent may run several times, also at once.
class Agent {
 public:
  struct Options {
    std::shared_ptr<Ollama> model;
    std::string description;
    bool markdown = false;
  };

  // Throws ValueError when `options.model` is null.
  explicit Agent(Options options);

  const std::shared_ptr<Ollama>& model() const noexcept { return options_.model; }
  const std::string& description() const noexcept { return options_.description; }
  bool markdown() const noexcept { return options_.markdown; }

  // The system message sent before the user's input ("" when there is none to send).
  // Thread-safe.
  std::string system_message() const;

  // Runs the agent on one user input: a chat of the system message (if any) and `input`, with
  // the model's settings (think, options, keep_alive). Returns at once; see Ollama::chat for
  // streaming and failures. Thread-safe.
  std::shared_ptr<ResponseStream> run(const std::string& input, bool stream = true) const;
  // The same with settings of this run's own over the model's (see ChatOptions). Throws
  // ValueError for model options that cannot be sent. (Not an overload of run, so that &Agent::run
  // names one function.) Thread-safe.
  std::shared_ptr<ResponseStream> run_with(const std::string& input,
                                           const ChatOptions& options) const;

 private:
  Options options_;
};

}  // namespace kelmora::llm
