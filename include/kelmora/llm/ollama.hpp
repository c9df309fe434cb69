#pragma once
// Ollama: a model on an Ollama model server, and a chat with it.

#include <chrono>
#include <cstddef>
#include <kelmora/llm/ndjson.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <kelmora/llm/server_address.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelmora::llm {

// One message of a chat: role "system", "user" or "assistant", and its text.
struct ChatMessage {
  std::string role;
  std::string content;
};

// A model on an Ollama server. Making one never contacts the server; each chat() is one HTTP
// request. Immutable after construction, so thread-safe.
class Ollama {
 public:
  struct Options {
    // The model id, e.g. "qwen3:30b".
    std::string id;
    // The server; when absent, the one OLLAMA_HOST names (server_from_environment()).
    std::optional<ServerAddress> server;
    // How long a chat may wait with nothing arriving from the server (before the answer starts,
    // which includes the server loading the model, and between pieces) before it fails.
    std::chrono::milliseconds read_timeout{std::chrono::minutes(5)};
    // How long connecting may take.
    std::chrono::milliseconds connect_timeout{std::chrono::seconds(30)};
    // The longest line of a streamed answer; a longer one fails the chat.
    std::size_t max_line_bytes = kDefaultMaxLineBytes;
  };

  // A model with this id on the server OLLAMA_HOST names. Throws ValueError for a malformed
  // OLLAMA_HOST.
  explicit Ollama(std::string id);
  // Throws ValueError for a malformed OLLAMA_HOST when `options.server` is absent.
  explicit Ollama(Options options);

  const std::string& id() const noexcept { return options_.id; }
  const ServerAddress& server() const noexcept { return *options_.server; }
  const Options& options() const noexcept { return options_; }

  // Starts a chat: POST /api/chat with these messages. With `stream`, the answer's pieces reach
  // the returned stream as the server sends them; without, the stream gets the whole answer as
  // one piece once it has arrived. The request runs on the stream's own thread, so this returns
  // at once; every failure (unreachable server, error status, error line, malformed or over-long
  // line, read time-out, answer ended without its final line) reaches the stream's consumer as a
  // ModelServerError. Thread-safe.
  std::shared_ptr<ResponseStream> chat(std::vector<ChatMessage> messages, bool stream = true) const;

 private:
  Options options_;
};

}  // namespace kelmora::llm
