#pragma once
// Ollama: a model on one or more Ollama model servers, and a chat with it.

#include <chrono>
#include <cstddef>
#include <kelmora/llm/chat_settings.hpp>
#include <kelmora/llm/ndjson.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <kelmora/llm/server_address.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelmora::llm {

namespace details {
class ServerPool;
}

// One message of a chat: role "system", "user" or "assistant", and its text.
struct ChatMessage {
  std::string role;
  std::string content;
};

// What one chat may set for itself, over the model's own settings.
struct ChatOptions {
  // Whether the answer streams in pieces (see Ollama::chat).
  bool stream = true;
  // Replaces the model's think when set.
  std::optional<Think> think;
  // Merged over the model's options, entry by entry (ModelOptions::merged_with).
  ModelOptions model_options;
  // Replaces the model's keep_alive when set.
  std::optional<KeepAlive> keep_alive;
};

// A model on Ollama servers. Making one never contacts a server; each chat() is one HTTP request
// (or, when a server cannot be reached, one per server tried). Its settings are immutable after
// construction; the load counts it shares with other models are guarded. Thread-safe.
//
// With several servers, each chat goes to the one with the fewest chats in flight from this
// process (any model's), ties in list order; a server that could not be reached lately (see
// Options::unreachable_ranks_last_for) ranks after the others. When a server cannot be reached
// (connection refused or timed out, name not resolved, or the connection closed before any byte of
// the answer came), the chat moves on to the next choice, until every server was tried. Once any of
// the answer has arrived, a failure is the chat's: a partial answer cannot be resumed elsewhere.
class Ollama {
 public:
  struct Options {
    // The model id, e.g. "qwen3:30b".
    std::string id;
    // The server. When neither this nor `servers` is given, the one OLLAMA_HOST names
    // (server_from_environment()). After construction it holds the first server.
    std::optional<ServerAddress> server;
    // Several servers to spread the chats over, instead of `server`. After construction it
    // holds every server (also a single one).
    std::vector<ServerAddress> servers;
    // The request's "think"; unset: not sent (a thinking model then thinks).
    std::optional<Think> think;
    // The request's "options"; not sent when empty.
    ModelOptions model_options;
    // The request's "keep_alive"; unset: not sent (the server keeps the model five minutes).
    std::optional<KeepAlive> keep_alive;
    // How long a chat may wait with nothing arriving from the server (before the answer starts,
    // which includes the server loading the model, and between pieces) before it fails.
    std::chrono::milliseconds read_timeout{std::chrono::minutes(5)};
    // How long connecting may take.
    std::chrono::milliseconds connect_timeout{std::chrono::seconds(30)};
    // The longest line of a streamed answer; a longer one fails the chat.
    std::size_t max_line_bytes = kDefaultMaxLineBytes;
    // With several servers: how long after a failed attempt to reach a server (by any model of
    // this process) it ranks after the others, so chats do not wait for it to fail each time.
    // Zero: it is tried again at once.
    std::chrono::milliseconds unreachable_ranks_last_for{std::chrono::seconds(5)};
  };

  // A model with this id on the server OLLAMA_HOST names. Throws ValueError for a malformed
  // OLLAMA_HOST.
  explicit Ollama(std::string id);
  // Throws ValueError for a malformed OLLAMA_HOST when no server is given, when both `server` and
  // `servers` are given and `server` is not the first of `servers` (another model's options()
  // can be given as they are), when `servers` names a server twice, and for model options that
  // cannot be sent (ModelOptions::check).
  explicit Ollama(Options options);

  const std::string& id() const noexcept { return options_.id; }
  // The first server. Thread-safe.
  const ServerAddress& server() const noexcept { return *options_.server; }
  // Every server, in the order given. Thread-safe.
  const std::vector<ServerAddress>& servers() const noexcept { return options_.servers; }
  const Options& options() const noexcept { return options_; }

  // Chats in flight from this process on each of servers(), in that order. Thread-safe.
  std::vector<std::size_t> chats_in_flight() const;

  // Starts a chat: POST /api/chat with these messages and the model's settings. With `stream`,
  // the answer's pieces reach the returned stream as the server sends them; without, the stream
  // gets the whole answer as one piece once it has arrived. The server is chosen here; the
  // request runs on the stream's own thread, so this returns at once; every failure (no server
  // reachable, error status, error line, malformed or over-long line, read time-out, answer
  // ended without its final line) reaches the stream's consumer as a ModelServerError.
  // Thread-safe.
  std::shared_ptr<ResponseStream> chat(std::vector<ChatMessage> messages, bool stream = true) const;
  // The same with settings of this chat's own over the model's. Throws ValueError for model
  // options that cannot be sent. Thread-safe.
  std::shared_ptr<ResponseStream> chat(std::vector<ChatMessage> messages,
                                       const ChatOptions& options) const;

 private:
  Options options_;
  std::shared_ptr<details::ServerPool> pool_;
};

}  // namespace kelmora::llm
