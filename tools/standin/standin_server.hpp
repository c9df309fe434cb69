#pragma once
// StandinServer: a stand-in for an Ollama model server, on loopback, for tests and for the demo on
// machines without a model. It speaks POST /api/chat (streamed NDJSON or one JSON object), GET
// /api/tags and GET / ("Ollama is running"). Its answers are canned and say so: they are made
// from the request ("[stand-in, not a real model] model=...; system=...; user=...").
//
// It can fail on purpose, in every way a model server fails: for all chats (StandinOptions::
// failure) or for one chat whose model is named "fail:<name>" (see standin_failure_from_name).
//
// Models that think: a model named "think:<name>" answers, unless the request says "think":
// false, with StandinOptions::thinking_lines lines of thinking (message.thinking, empty content;
// see thinking_pieces) before the answer; one named "think-tags:<name>" writes the same thinking
// into the answer text as "<think>...</think>\n\n" before it, as older servers do. Any other
// model refuses a request with "think": true or a level, with 400 {"error": "\"<model>\" does
// not support thinking"}.
//
// Each piece (a thinking line or an answer piece) counts as one generated token: with
// "options": {"num_predict": N}, N >= 0, the stand-in sends at most N pieces and ends with
// done_reason "length" when that cut the answer short, else "stop". The final line carries the
// counters of usage().

#include <chrono>
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
  kNotFound,        // 404 {"error": "model \"x\" not found, try pulling it first"}
  kServerError,     // 500 {"error": "..."}
  kErrorLine,       // some pieces, then an {"error": "..."} line
  kMalformedLine,   // some pieces, then a line that is not JSON
  kNoDone,          // some pieces, then the end of the answer without the "done" line
  kStall,           // some pieces, then nothing until the client hangs up or the server stops
  kLongLine,        // some pieces, then one line of StandinOptions::long_line_bytes and more
  kSilent,          // reads the request and answers nothing, not even a status line
  kBadRequest,      // 400 {"error": "stand-in: failure requested: bad request"}
  kBadRequestText,  // 400 with a body that is not JSON
  kReset,           // reads the request and resets the connection, sending no byte
};

// "404", "500", "error-line", "malformed", "no-done", "stall", "long-line", "silent", "400",
// "400-text", "reset" (and "none"); std::nullopt for any other name. Thread-safe.
std::optional<StandinFailure> standin_failure_from_name(std::string_view name);

struct StandinOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: a free port, see StandinServer::port()
  StandinFailure failure = StandinFailure::kNone;
  std::size_t piece_chars = 4;            // characters per streamed piece
  std::size_t pieces_before_failure = 2;  // pieces sent before a mid-stream failure
  std::size_t long_line_bytes = (std::size_t{1} << 20) + 4096;
  unsigned piece_delay_ms = 0;     // pause before each piece (thinking lines too)
  std::size_t thinking_lines = 3;  // thinking pieces of a "think:" model
};

// The counters on a final line, made up from the request so tests can predict them: the prompt
// counts one token per character of the messages' contents, each generated piece one token; a
// prompt token takes 1 µs, a generated one 1 ms, loading 0.5 ms.
struct StandinUsage {
  std::int64_t prompt_eval_count = 0;
  std::int64_t eval_count = 0;
  std::int64_t load_duration = 0;  // nanoseconds, as are the others
  std::int64_t prompt_eval_duration = 0;
  std::int64_t eval_duration = 0;
  std::int64_t total_duration = 0;
};

// One chat the stand-in received.
struct StandinRequest {
  std::string model;
  std::string system;  // the system messages' contents, joined by "\n"
  std::string user;    // the last user message's content
  bool stream = true;
  std::size_t prompt_chars = 0;  // characters in all messages' contents
  // The request's "think", "options" and "keep_alive" as JSON text (object keys sorted), "" when
  // absent; and the whole body as received.
  std::string think;
  std::string options;
  std::string keep_alive;
  std::string body;
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
  // The latest chat received, if any. Thread-safe.
  std::optional<StandinRequest> last_request() const;
  // Waits until requests().size() >= count or `limit` has passed; whether it got there.
  // Thread-safe.
  bool wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const;
  // Connections whose client hung up before the stand-in had finished answering. It watches the
  // connection while it waits (between pieces, stalled, silent), so it sees a client go away at
  // once. Thread-safe.
  std::size_t hangups() const;
  // When it saw each of those hang-ups, in order. Thread-safe.
  std::vector<std::chrono::steady_clock::time_point> hangup_times() const;
  // Waits (without a time limit) until hangups() >= count. Thread-safe.
  void wait_for_hangups(std::size_t count) const;
  // Waits until hangups() >= count or `limit` has passed; whether it got there. Thread-safe.
  bool wait_for_hangups(std::size_t count, std::chrono::milliseconds limit) const;

  // The canned answer to a chat, and how it is cut into pieces (each piece_chars characters,
  // never splitting a character). Thread-safe.
  static std::string answer(const std::string& model, const std::string& system,
                            const std::string& user);
  static std::vector<std::string> answer_pieces(const std::string& answer, std::size_t piece_chars);
  // The thinking lines of a "think:" model: "[stand-in thinking 1/3] ", ... (with the level:
  // "[stand-in thinking 1/3, high] "). Thread-safe.
  static std::vector<std::string> thinking_pieces(std::size_t lines, const std::string& level = "");
  // The counters for a prompt of `prompt_chars` characters and `pieces` generated. Thread-safe.
  static StandinUsage usage(std::size_t prompt_chars, std::size_t pieces);

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
  std::vector<std::chrono::steady_clock::time_point> hangup_times_;
  bool stopped_ = false;
  std::thread acceptor_;  // last: starts once everything above is ready
};

}  // namespace kelmora::testing
