#include "standin/standin_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "standin/http_io.hpp"

namespace kelmora::testing {
namespace {

using Json = nlohmann::json;
using details::IoResult;

constexpr const char* kCreatedAt = "2024-01-01T00:00:00Z";
constexpr std::size_t kLongLineWrite = 64 * 1024;

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), "stand-in model server: " + what);
}

Json message_json(const std::string& content, const std::string& thinking) {
  Json message = {{"role", "assistant"}, {"content", content}};
  if (!thinking.empty()) message["thinking"] = thinking;
  return message;
}

// A line that carries a piece: of the answer, or of the thinking.
std::string chat_line(const std::string& model, const std::string& content, bool done,
                      const std::string& thinking = "") {
  Json line = {{"model", model},
               {"created_at", kCreatedAt},
               {"message", message_json(content, thinking)},
               {"done", done}};
  if (done) line["done_reason"] = "stop";
  return line.dump() + "\n";
}

// The final line: the last piece (if any), why the answer ended and the counters.
std::string final_line(const std::string& model, const std::string& content,
                       const std::string& thinking, const std::string& reason,
                       const StandinUsage& usage) {
  Json line = {{"model", model},
               {"created_at", kCreatedAt},
               {"message", message_json(content, thinking)},
               {"done", true},
               {"done_reason", reason},
               {"total_duration", usage.total_duration},
               {"load_duration", usage.load_duration},
               {"prompt_eval_count", usage.prompt_eval_count},
               {"prompt_eval_duration", usage.prompt_eval_duration},
               {"eval_count", usage.eval_count},
               {"eval_duration", usage.eval_duration}};
  return line.dump() + "\n";
}

std::size_t characters(const std::string& text) {
  std::size_t count = 0;
  for (char byte : text) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

std::string error_json(const std::string& text) { return Json{{"error", text}}.dump(); }

// Splits a line in two at a byte inside a multi-byte character when it has one, else halfway, so
// the client has to put characters and lines back together.
std::pair<std::string_view, std::string_view> split_line(std::string_view line) {
  std::size_t cut = line.size() / 2;
  for (std::size_t i = 1; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) {
      cut = i;
      break;
    }
  }
  return {line.substr(0, cut), line.substr(cut)};
}

// One chat on one connection: what was asked and how to answer.
struct Chat {
  StandinRequest request;
  StandinFailure failure = StandinFailure::kNone;
  enum class Thinking { kNone, kField, kTags } thinking = Thinking::kNone;
  std::string think_level;                 // "" unless "think" is a level
  std::optional<std::size_t> num_predict;  // the most pieces to send
};

// What a chat's answer is made of, in the order it is sent: thinking pieces, then answer
// pieces, cut to num_predict.
struct Plan {
  std::vector<std::string> thinking;
  std::vector<std::string> content;
  bool cut = false;  // num_predict cut it short
  std::size_t pieces() const { return thinking.size() + content.size(); }
};

Plan plan_for(const Chat& chat, const StandinOptions& options) {
  Plan plan;
  const std::string answer =
      StandinServer::answer(chat.request.model, chat.request.system, chat.request.user);
  std::vector<std::string> thinking =
      chat.thinking == Chat::Thinking::kNone
          ? std::vector<std::string>{}
          : StandinServer::thinking_pieces(options.thinking_lines, chat.think_level);
  if (chat.thinking == Chat::Thinking::kTags) {
    std::string text = "<think>";
    for (const auto& piece : thinking) text += piece;
    text += "</think>\n\n" + answer;
    plan.content = StandinServer::answer_pieces(text, options.piece_chars);
  } else {
    plan.thinking = std::move(thinking);
    plan.content = StandinServer::answer_pieces(answer, options.piece_chars);
  }
  if (chat.num_predict && *chat.num_predict < plan.pieces()) {
    plan.cut = true;
    const std::size_t keep = *chat.num_predict;
    if (keep < plan.thinking.size()) plan.thinking.resize(keep);
    plan.content.resize(keep - plan.thinking.size());
  }
  return plan;
}

}  // namespace

std::optional<StandinFailure> standin_failure_from_name(std::string_view name) {
  static const std::pair<std::string_view, StandinFailure> kNames[] = {
      {"none", StandinFailure::kNone},
      {"404", StandinFailure::kNotFound},
      {"500", StandinFailure::kServerError},
      {"error-line", StandinFailure::kErrorLine},
      {"malformed", StandinFailure::kMalformedLine},
      {"no-done", StandinFailure::kNoDone},
      {"stall", StandinFailure::kStall},
      {"long-line", StandinFailure::kLongLine},
      {"silent", StandinFailure::kSilent},
      {"400", StandinFailure::kBadRequest},
      {"400-text", StandinFailure::kBadRequestText},
      {"reset", StandinFailure::kReset},
  };
  for (const auto& [text, failure] : kNames) {
    if (text == name) return failure;
  }
  return std::nullopt;
}

std::string StandinServer::answer(const std::string& model, const std::string& system,
                                  const std::string& user) {
  return "[stand-in, not a real model] model=" + model + "; system=" + system + "; user=" + user;
}

std::vector<std::string> StandinServer::answer_pieces(const std::string& answer,
                                                      std::size_t piece_chars) {
  std::vector<std::string> pieces;
  std::size_t chars = 0;
  for (char byte : answer) {
    const bool starts_char = (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    if (starts_char && chars++ % std::max<std::size_t>(1, piece_chars) == 0) pieces.emplace_back();
    if (pieces.empty()) pieces.emplace_back();
    pieces.back() += byte;
  }
  return pieces;
}

std::vector<std::string> StandinServer::thinking_pieces(std::size_t lines,
                                                        const std::string& level) {
  std::vector<std::string> pieces;
  for (std::size_t i = 1; i <= lines; ++i) {
    pieces.push_back("[stand-in thinking " + std::to_string(i) + "/" + std::to_string(lines) +
                     (level.empty() ? "" : ", " + level) + "] ");
  }
  return pieces;
}

StandinUsage StandinServer::usage(std::size_t prompt_chars, std::size_t pieces) {
  StandinUsage usage;
  usage.prompt_eval_count = static_cast<std::int64_t>(prompt_chars);
  usage.eval_count = static_cast<std::int64_t>(pieces);
  usage.load_duration = 500'000;
  usage.prompt_eval_duration = usage.prompt_eval_count * 1'000;
  usage.eval_duration = usage.eval_count * 1'000'000;
  usage.total_duration = usage.load_duration + usage.prompt_eval_duration + usage.eval_duration;
  return usage;
}

StandinServer::StandinServer(StandinOptions options) : options_(std::move(options)) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw_errno("pipe");
  wake_read_fd_ = pipe_fds[0];
  wake_write_fd_ = pipe_fds[1];

  details::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) throw_errno("socket");
  int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.host.c_str(), &address.sin_addr) != 1) {
    ::close(wake_read_fd_);
    ::close(wake_write_fd_);
    throw std::system_error(EINVAL, std::generic_category(),
                            "stand-in model server: not an IPv4 address: " + options_.host);
  }
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 64) != 0) {
    int saved = errno;
    ::close(wake_read_fd_);
    ::close(wake_write_fd_);
    errno = saved;
    throw_errno("cannot listen on " + options_.host + ":" + std::to_string(options_.port));
  }
  socklen_t length = sizeof address;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  listen_fd_ = listener.release();
  acceptor_ = std::thread([this] { accept_loop(); });
}

StandinServer::~StandinServer() { stop(); }

std::string StandinServer::address() const { return options_.host + ":" + std::to_string(port_); }

void StandinServer::stop() noexcept {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  const char byte = 'x';
  while (::write(wake_write_fd_, &byte, 1) < 0 && errno == EINTR) {
  }
  if (acceptor_.joinable()) acceptor_.join();
  // The acceptor has ended, so nobody adds connections any more.
  for (auto& connection : connections_) {
    if (connection.thread.joinable()) connection.thread.join();
  }
  connections_.clear();
  ::close(listen_fd_);
  ::close(wake_read_fd_);
  ::close(wake_write_fd_);
}

std::vector<StandinRequest> StandinServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::optional<StandinRequest> StandinServer::last_request() const {
  std::lock_guard lock(mutex_);
  if (requests_.empty()) return std::nullopt;
  return requests_.back();
}

bool StandinServer::wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

std::size_t StandinServer::hangups() const {
  std::lock_guard lock(mutex_);
  return hangup_times_.size();
}

std::vector<std::chrono::steady_clock::time_point> StandinServer::hangup_times() const {
  std::lock_guard lock(mutex_);
  return hangup_times_;
}

void StandinServer::wait_for_hangups(std::size_t count) const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return hangup_times_.size() >= count; });
}

bool StandinServer::wait_for_hangups(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return hangup_times_.size() >= count; });
}

void StandinServer::record(StandinRequest request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
  changed_.notify_all();
}

void StandinServer::note_hangup() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    hangup_times_.push_back(now);
  }
  changed_.notify_all();
}

void StandinServer::accept_loop() noexcept {
  while (true) {
    pollfd fds[2] = {{wake_read_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[0].revents != 0) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    // Join the connections that have ended, so a long-running stand-in does not pile them up.
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->finished) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    auto& connection = connections_.emplace_back();
    try {
      connection.thread = std::thread([this, fd, &connection] {
        serve(fd);
        std::lock_guard done_lock(mutex_);
        connection.finished = true;
      });
    } catch (...) {
      ::close(fd);
      connections_.pop_back();
    }
  }
}

namespace {

// Answers one request on one connection. Every send reports kHangup when the client has gone.
class Responder {
 public:
  Responder(int fd, int wake_fd, const StandinOptions& options)
      : fd_(fd), wake_fd_(wake_fd), options_(options) {}

  IoResult send(std::string_view data) { return details::send_all(fd_, wake_fd_, data); }

  IoResult simple(int status, std::string_view type, const std::string& body, bool head_only) {
    IoResult r = send(details::response_head(status, type, false, body.size()));
    if (r != IoResult::kOk || head_only) return r;
    return send(body);
  }

  IoResult error(int status, const std::string& text) {
    return simple(status, "application/json; charset=utf-8", error_json(text), false);
  }

  IoResult chat(const Chat& chat) {
    switch (chat.failure) {
      case StandinFailure::kNotFound:
        return error(404, "model \"" + chat.request.model + "\" not found, try pulling it first");
      case StandinFailure::kServerError:
        return error(500, "stand-in: failure requested: internal server error");
      case StandinFailure::kBadRequest:
        return error(400, "stand-in: failure requested: bad request");
      case StandinFailure::kBadRequestText:
        return simple(400, "text/plain; charset=utf-8",
                      "400 Bad Request: stand-in: failure requested\n", false);
      case StandinFailure::kSilent:
        return details::hold(fd_, wake_fd_);
      case StandinFailure::kReset:
        details::reset_on_close(fd_);
        return IoResult::kOk;
      default:
        break;
    }
    const Plan plan = plan_for(chat, options_);
    return chat.request.stream ? streamed(chat, plan) : whole(chat, plan);
  }

 private:
  IoResult send_chunk(std::string_view data) { return send(details::chunk(data)); }

  StandinUsage usage_of(const Chat& chat, const Plan& plan) const {
    return StandinServer::usage(chat.request.prompt_chars, plan.pieces());
  }

  IoResult whole(const Chat& chat, const Plan& plan) {
    const std::string& model = chat.request.model;
    std::string answer;
    for (const auto& piece : plan.content) answer += piece;
    std::string thinking;
    for (const auto& piece : plan.thinking) thinking += piece;
    std::string body;
    switch (chat.failure) {
      case StandinFailure::kStall:
        return details::hold(fd_, wake_fd_);
      case StandinFailure::kMalformedLine:
        body = "this is not JSON (stand-in: failure requested)";
        break;
      case StandinFailure::kErrorLine:
        body = error_json("stand-in: failure requested: the model stopped");
        break;
      case StandinFailure::kNoDone:
        body = chat_line(model, answer, false);
        break;
      case StandinFailure::kLongLine:
        body = chat_line(model, std::string(options_.long_line_bytes, 'x'), true);
        break;
      default:
        body =
            final_line(model, answer, thinking, plan.cut ? "length" : "stop", usage_of(chat, plan));
    }
    return simple(200, "application/json; charset=utf-8", body, false);
  }

  IoResult streamed(const Chat& chat, const Plan& plan) {
    const std::string& model = chat.request.model;
    IoResult r = send(details::response_head(200, "application/x-ndjson", true));
    std::vector<std::string> lines;
    for (const auto& piece : plan.thinking) lines.push_back(chat_line(model, "", false, piece));
    for (const auto& piece : plan.content) lines.push_back(chat_line(model, piece, false));
    std::size_t count = lines.size();
    if (chat.failure != StandinFailure::kNone) {
      count = std::min(count, plan.thinking.size() + options_.pieces_before_failure);
    }
    for (std::size_t i = 0; i < count && r == IoResult::kOk; ++i) {
      r = details::pause(fd_, wake_fd_, options_.piece_delay_ms);
      auto [first, second] = split_line(lines[i]);
      if (r == IoResult::kOk) r = send_chunk(first);
      if (r == IoResult::kOk) r = send_chunk(second);
    }
    if (r == IoResult::kOk) r = streamed_ending(chat, plan);
    return r;
  }

  // What follows the pieces: the "done" line, or the failure asked for; then the final chunk.
  IoResult streamed_ending(const Chat& chat, const Plan& plan) {
    const std::string& model = chat.request.model;
    IoResult r = IoResult::kOk;
    switch (chat.failure) {
      case StandinFailure::kErrorLine:
        r = send_chunk(error_json("stand-in: failure requested: the model stopped") + "\n");
        break;
      case StandinFailure::kMalformedLine:
        r = send_chunk("this line is not JSON (stand-in: failure requested)\n");
        break;
      case StandinFailure::kNoDone:
        break;
      case StandinFailure::kStall:
        return details::hold(fd_, wake_fd_);
      case StandinFailure::kLongLine: {
        std::string line = chat_line(model, std::string(options_.long_line_bytes, 'x'), false);
        for (std::size_t at = 0; at < line.size() && r == IoResult::kOk; at += kLongLineWrite) {
          r = send_chunk(std::string_view(line).substr(at, kLongLineWrite));
        }
        if (r == IoResult::kOk) r = send_chunk(chat_line(model, "", true));
        break;
      }
      default:
        r = send_chunk(
            final_line(model, "", "", plan.cut ? "length" : "stop", usage_of(chat, plan)));
    }
    if (r == IoResult::kOk) r = send_chunk("");
    return r;
  }

  int fd_;
  int wake_fd_;
  const StandinOptions& options_;
};

// Reads a chat request's body; on failure returns the text of a 400 answer.
std::optional<std::string> parse_chat(const std::string& body, StandinFailure default_failure,
                                      Chat& chat) {
  Json json = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) return "stand-in: the body is not a JSON object";
  chat.request.body = body;
  auto model = json.find("model");
  if (model == json.end() || !model->is_string() || model->get<std::string>().empty()) {
    return "model is required";
  }
  chat.request.model = model->get<std::string>();
  if (auto stream = json.find("stream"); stream != json.end()) {
    if (!stream->is_boolean()) return "stand-in: \"stream\" is not true or false";
    chat.request.stream = stream->get<bool>();
  }
  if (auto messages = json.find("messages"); messages != json.end()) {
    if (!messages->is_array()) return "stand-in: \"messages\" is not a list";
    for (const auto& message : *messages) {
      if (!message.is_object() || !message.contains("role") || !message["role"].is_string() ||
          !message.contains("content") || !message["content"].is_string()) {
        return "stand-in: a message lacks a text \"role\" or \"content\"";
      }
      const auto role = message["role"].get<std::string>();
      const auto content = message["content"].get<std::string>();
      chat.request.prompt_chars += characters(content);
      if (role == "system") {
        chat.request.system += (chat.request.system.empty() ? "" : "\n") + content;
      } else if (role == "user") {
        chat.request.user = content;
      }
    }
  }
  if (auto options = json.find("options"); options != json.end()) {
    if (!options->is_object()) return "stand-in: \"options\" is not an object";
    chat.request.options = options->dump();
    if (auto limit = options->find("num_predict"); limit != options->end()) {
      if (!limit->is_number_integer()) return "stand-in: \"num_predict\" is not a whole number";
      if (limit->get<std::int64_t>() >= 0) chat.num_predict = limit->get<std::size_t>();
    }
  }
  if (auto keep_alive = json.find("keep_alive"); keep_alive != json.end()) {
    if (!keep_alive->is_string() && !keep_alive->is_number()) {
      return "stand-in: \"keep_alive\" is neither a duration nor a number";
    }
    chat.request.keep_alive = keep_alive->dump();
  }
  bool thinks = true;  // a thinking model thinks unless told not to
  if (auto think = json.find("think"); think != json.end()) {
    chat.request.think = think->dump();
    if (think->is_boolean()) {
      thinks = think->get<bool>();
    } else if (think->is_string() && (*think == "low" || *think == "medium" || *think == "high")) {
      chat.think_level = think->get<std::string>();
    } else {
      return "stand-in: \"think\" is not true, false, \"low\", \"medium\" or \"high\"";
    }
  }
  const std::string& id = chat.request.model;
  const bool thinking_model = id.rfind("think:", 0) == 0 || id.rfind("think-tags:", 0) == 0;
  if (thinking_model && thinks) {
    chat.thinking = id.rfind("think:", 0) == 0 ? Chat::Thinking::kField : Chat::Thinking::kTags;
  }
  if (!thinking_model && !chat.request.think.empty() && thinks) {
    return "\"" + id + "\" does not support thinking";
  }
  chat.failure = default_failure;
  if (chat.request.model.rfind("fail:", 0) == 0) {
    auto failure = standin_failure_from_name(chat.request.model.substr(5));
    if (!failure) return "stand-in: unknown failure \"" + chat.request.model.substr(5) + "\"";
    chat.failure = *failure;
  }
  return std::nullopt;
}

}  // namespace

void StandinServer::serve(int raw_fd) noexcept {
  details::Fd fd(raw_fd);
  try {
    details::prepare_socket(fd.get());
    Responder responder(fd.get(), wake_read_fd_, options_);
    details::HttpRequest request;
    IoResult r = details::read_request(fd.get(), wake_read_fd_, request);
    if (r == IoResult::kBad) {
      responder.error(400, "stand-in: not an HTTP request it serves");
      return;
    }
    if (r != IoResult::kOk) return;

    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool head_only = request.method == "HEAD";
    if (request.path == "/" && get) {
      r = responder.simple(200, "text/plain; charset=utf-8", "Ollama is running", head_only);
    } else if (request.path == "/api/tags" && get) {
      r = responder.simple(200, "application/json; charset=utf-8", R"({"models":[]})", head_only);
    } else if (request.path == "/api/version" && get) {
      r = responder.simple(200, "application/json; charset=utf-8",
                           R"({"version":"0.0.0-kelmora-stand-in"})", head_only);
    } else if (request.path == "/api/chat" && request.method == "POST") {
      Chat chat;
      if (auto problem = parse_chat(request.body, options_.failure, chat)) {
        r = responder.error(400, *problem);
      } else {
        record(chat.request);
        r = responder.chat(chat);
      }
    } else if (request.path == "/api/chat") {
      r = responder.error(405, "method not allowed");
    } else {
      r = responder.simple(404, "text/plain; charset=utf-8", "404 page not found", head_only);
    }
    if (r == IoResult::kHangup) note_hangup();
  } catch (...) {
    // A connection's failure (out of memory, say) ends that connection only.
  }
}

}  // namespace kelmora::testing
