#pragma once
// StandinServer: a stand-in for an Ollama model server, on loopback, for tests and for the demo on
// machines without a model. It speaks POST /api/chat (streamed NDJSON or one JSON object), GET
// /api/tags and GET / ("Ollama is running"). Its answers are canned and say so: they are made
// from the request ("[stand-in, not a real model] model=...; system=...; user=...").
//
// It can fail on purpose, in every way a model server fails: for all chats (StandinOptions::
// failure) or for one chat whose model is named "fail:<name>" (see standin_failure_from_name).

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kelmora::testing {

enum class StandinFailure {
  kNone,
  kNotFound,       // 404 {"error": "model \"x\" not found, try pulling it first"}
  kServerError,    // 500 {"error": "..."}
  kErrorLine,      // some pieces, then an {"error": "..."} line
  kMalformedLine,  // some pieces, then a line that is not JSON
  kNoDone,         // some pieces, then the end of the answer without the "done" line
  kStall,          // some pieces, then nothing until the client hangs up or the server stops
  kLongLine,       // some pieces, then one line of StandinOptions::long_line_bytes and more
  kSilent,         // reads the request and answers nothing, not even a status line
};

// "404", "500", "error-line", "malformed", "no-done", "stall", "long-line", "silent" (and "none");
// std::nullopt for any other name. Thread-safe.
std::optional<StandinFailure> standin_failure_from_name(std::string_view name);

struct StandinOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: a free port, see StandinServer::port()
  StandinFailure failure = StandinFailure::kNone;
  std::size_t piece_chars = 4;            // characters per streamed piece
  std::size_t pieces_before_failure = 2;  // pieces sent before a mid-stream failure
  std::size_t long_line_bytes = (std::size_t{1} << 20) + 4096;
  unsigned piece_delay_ms = 0;  // pause before each piece, so streaming shows to a human
};

// One chat the stand-in received.
struct StandinRequest {
  std::string model;
  std::string system;  // the system messages' contents, joined by "\n"
  std::string user;    // the last user message's content
  bool stream = true;
};

class StandinServer {
 public:
  // Listens on options.host:options.port and serves on its own threads. Throws std::system_error
  // when it cannot listen.
  explicit StandinServer(StandinOptions options = {});
  // Stops. Never throws.
  ~StandinServer();
  StandinServer(const StandinServer&) = delete;
  StandinServer& operator=(const StandinServer&) = delete;

  // The port it listens on. Thread-safe.
  std::uint16_t port() const noexcept { return port_; }
  // "host:port", fit for OLLAMA_HOST. Thread-safe.
  std::string address() const;

  // Closes the listener and every connection (stalled ones too) and joins every thread. Later
  // calls do nothing. Thread-safe (but not from a connection's own thread, which it never is).
  void stop() noexcept;

  // The chats received so far, in arrival order. Thread-safe.
  std::vector<StandinRequest> requests() const;
  // Connections whose client hung up before the stand-in had finished answering. Thread-safe.
  std::size_t hangups() const;
  // Waits (without a time limit) until hangups() >= count. Thread-safe.
  void wait_for_hangups(std::size_t count) const;

  // The canned answer to a chat, and how it is cut into pieces (each piece_chars characters,
  // never splitting a character). Thread-safe.
  static std::string answer(const std::string& model, const std::string& system,
                            const std::string& user);
  static std::vector<std::string> answer_pieces(const std::string& answer, std::size_t piece_chars);

 private:
  struct Connection {
    std::thread thread;
    bool finished = false;  // guarded by mutex_
  };

  void accept_loop() noexcept;
  void serve(int fd) noexcept;
  void record(StandinRequest request);
  void note_hangup();

  StandinOptions options_;
  int listen_fd_ = -1;
  int wake_read_fd_ = -1;  // readable once stop() began: ends every wait of every thread
  int wake_write_fd_ = -1;
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::list<Connection> connections_;
  std::vector<StandinRequest> requests_;
  std::size_t hangups_ = 0;
  bool stopped_ = false;
  std::thread acceptor_;  // last: starts once everything above is ready
};

}  // namespace kelmora::testing
