#pragma once
// Errors of the model-server client.

#include <kelmora/core/errors.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kelmora::llm {

// A chat with a model server failed: no server could be reached, or the server answered with an
// error status, reported an error in the middle of an answer, sent something that is not a chat
// line, stopped sending (read time-out), or ended an answer without its final line. The message
// names the server and the model: `Ollama server <url> (model "<id>"): <what went wrong>`; when
// several servers were tried and none could be reached it names them all: `Ollama servers <url>,
// <url> (model "<id>"): no server could be reached: <url>: <why>; <url>: <why>`.
class ModelServerError : public RuntimeError {
 public:
  ModelServerError(std::string server, std::string model, const std::string& detail)
      : ModelServerError(std::vector<std::string>{std::move(server)}, std::move(model), detail) {}
  ModelServerError(std::vector<std::string> servers, std::string model, const std::string& detail)
      : RuntimeError(message(servers, model, detail), Errc::model_server),
        servers_(servers.empty() ? std::vector<std::string>{""} : std::move(servers)),
        model_(std::move(model)) {}

  // The base URL of the server the failure is about, e.g. "http://127.0.0.1:11434"; when several
  // could not be reached, the last one tried.
  const std::string& server() const noexcept { return servers_.back(); }
  // Every server the message names, in the order they were tried.
  const std::vector<std::string>& servers() const noexcept { return servers_; }
  // The model id the chat asked for.
  const std::string& model() const noexcept { return model_; }

 private:
  static std::string message(const std::vector<std::string>& servers, const std::string& model,
                             const std::string& detail) {
    std::string text = servers.size() <= 1 ? "Ollama server " : "Ollama servers ";
    for (std::size_t i = 0; i < servers.size(); ++i) text += (i > 0 ? ", " : "") + servers[i];
    return text + " (model \"" + model + "\"): " + detail;
  }

  std::vector<std::string> servers_;
  std::string model_;
};

}  // namespace kelmora::llm
