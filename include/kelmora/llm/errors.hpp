#pragma once
// Errors of the model-server client.

#include <kelmora/core/errors.hpp>
#include <string>

namespace kelmora::llm {

// A chat with a model server failed: the server could not be reached, answered with an error
// status, reported an error in the middle of an answer, sent something that is not a chat line,
// stopped sending (read time-out), or ended an answer without its final line. The message names
// the server and the model: `Ollama server <url> (model "<id>"): <what went wrong>`.
class ModelServerError : public RuntimeError {
 public:
  ModelServerError(std::string server, std::string model, const std::string& detail)
      : RuntimeError("Ollama server " + server + " (model \"" + model + "\"): " + detail),
        server_(std::move(server)),
        model_(std::move(model)) {}

  // The server's base URL, e.g. "http://127.0.0.1:11434".
  const std::string& server() const noexcept { return server_; }
  // The model id the chat asked for.
  const std::string& model() const noexcept { return model_; }

 private:
  std::string server_;
  std::string model_;
};

}  // namespace kelmora::llm
