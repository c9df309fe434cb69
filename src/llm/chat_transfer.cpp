#include "chat_transfer.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <kelmora/llm/errors.hpp>
#include <mutex>
#include <nlohmann/json.hpp>

namespace kelmora::llm::details {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How much of an error status's body is kept for the message.
constexpr std::size_t kMaxErrorBody = 64 * 1024;
// How much of an offending line a message quotes.
constexpr std::size_t kExcerptBytes = 160;
// The longest single wait between checks for cancellation and the read time-out.
constexpr milliseconds kMaxPollWait{1000};

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURL* easy(void* handle) { return static_cast<CURL*>(handle); }
CURLM* multi(void* handle) { return static_cast<CURLM*>(handle); }

// The start of `text`, cut at a character boundary, with "..." when something was left out.
std::string excerpt(std::string_view text) {
  if (text.size() <= kExcerptBytes) return std::string(text);
  std::size_t cut = kExcerptBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

// Hosts reached without a proxy: whatever no_proxy names, plus loopback, which a proxy can never
// mean.
std::string no_proxy_list() {
  std::string list = "localhost,127.0.0.1,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
      return std::string(value) + "," + list;
    }
  }
  return list;
}

std::string seconds_text(milliseconds ms) {
  return fmt::format("{:g} s", static_cast<double>(ms.count()) / 1000.0);
}

}  // namespace

std::string chat_request_body(const ChatRequest& request) {
  nlohmann::json messages = nlohmann::json::array();
  for (const auto& message : request.messages) {
    messages.push_back({{"role", message.role}, {"content", message.content}});
  }
  nlohmann::json body = {
      {"model", request.model}, {"messages", std::move(messages)}, {"stream", request.stream}};
  if (request.think) body["think"] = nlohmann::json::parse(request.think->json());
  if (!request.model_options.empty()) {
    body["options"] = nlohmann::json::parse(request.model_options.json());
  }
  if (request.keep_alive) body["keep_alive"] = nlohmann::json::parse(request.keep_alive->json());
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ChatTransfer::ChatTransfer(ChatRequest request, ServerLease first)
    : request_(std::move(request)),
      error_buffer_(CURL_ERROR_SIZE, '\0'),
      lease_(std::move(first)),
      url_(request_.servers->url(lease_.index())),
      splitter_(request_.max_line_bytes) {
  init_curl_once();
  body_ = chat_request_body(request_);
  multi_.reset(curl_multi_init());
  easy_.reset(curl_easy_init());
  if (!easy_ || !multi_) fail("cannot set up the HTTP client (libcurl)");

  for (const char* header : {"Content-Type: application/json",
                             "Accept: application/x-ndjson, application/json", "Expect:"}) {
    curl_slist* grown = curl_slist_append(headers_.get(), header);
    if (grown == nullptr) fail("cannot set up the HTTP client (libcurl)");
    (void)headers_.release();  // curl_slist_append extended the list it was given
    headers_.reset(grown);
  }
  const std::string no_proxy = no_proxy_list();
  CURL* h = easy(easy_.get());
  curl_easy_setopt(h, CURLOPT_NOPROXY, no_proxy.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body_.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &ChatTransfer::write_callback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer_.data());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(
      h, CURLOPT_CONNECTTIMEOUT_MS,
      static_cast<long>(std::max<milliseconds::rep>(1, request_.connect_timeout.count())));
  curl_easy_setopt(h, CURLOPT_USERAGENT, "kelmora");
}

void ChatTransfer::EasyDeleter::operator()(void* handle) const noexcept {
  curl_easy_cleanup(easy(handle));
}
void ChatTransfer::MultiDeleter::operator()(void* handle) const noexcept {
  curl_multi_cleanup(multi(handle));
}
void ChatTransfer::ListDeleter::operator()(curl_slist* list) const noexcept {
  curl_slist_free_all(list);
}

ChatTransfer::~ChatTransfer() {
  if (added_) curl_multi_remove_handle(multi(multi_.get()), easy(easy_.get()));
  lease_.release(status_ != 0 ? std::optional<bool>(true) : std::nullopt);
}

void ChatTransfer::cancel() noexcept {
  cancelled_ = true;
  curl_multi_wakeup(multi(multi_.get()));
}

void ChatTransfer::fail(const std::string& detail) const {
  throw ModelServerError(url_, request_.model, detail);
}

std::size_t ChatTransfer::write_callback(char* data, std::size_t size, std::size_t count,
                                         void* self) {
  return static_cast<ChatTransfer*>(self)->on_data(std::string_view(data, size * count));
}

std::size_t ChatTransfer::on_data(std::string_view bytes) {
  last_activity_ = Clock::now();
  if (cancelled_ || done_) return 0;  // ends the transfer; run() knows why
  try {
    if (status_ == 0) curl_easy_getinfo(easy(easy_.get()), CURLINFO_RESPONSE_CODE, &status_);
    if (status_ != 200) {
      whole_body_.append(
          bytes.substr(0, kMaxErrorBody - std::min(kMaxErrorBody, whole_body_.size())));
    } else if (!request_.stream) {
      if (whole_body_.size() + bytes.size() > request_.max_line_bytes) {
        fail("the server sent an answer longer than " + std::to_string(request_.max_line_bytes) +
             " bytes");
      }
      whole_body_.append(bytes);
    } else {
      std::vector<std::string> lines;
      try {
        lines = splitter_.feed(bytes);
      } catch (const LineTooLongError& e) {
        fail(std::string("the server sent ") + e.what());
      }
      for (const auto& line : lines) {
        handle_line(line);
        if (done_) break;
      }
    }
    return bytes.size();
  } catch (...) {
    callback_error_ = std::current_exception();
    return 0;
  }
}

void ChatTransfer::handle_line(const std::string& line) {
  ChatLine chat = parse_chat_line(line);
  switch (chat.kind) {
    case ChatLine::Kind::kBlank:
      return;
    case ChatLine::Kind::kContent:
      deliver(chat.content, std::move(chat.thinking));
      return;
    case ChatLine::Kind::kDone: {
      deliver(chat.content, std::move(chat.thinking));
      sink_->push(think_tags_.finish());
      chat.summary.server = url_;
      sink_->set_summary(std::move(chat.summary));
      done_ = true;
      return;
    }
    case ChatLine::Kind::kError:
      fail("the server reported an error: " + chat.error);
    case ChatLine::Kind::kMalformed:
      fail("the server sent a malformed line (" + chat.error + "): " + excerpt(line));
  }
}

void ChatTransfer::deliver(std::string_view content, std::string thinking) {
  ResponseItem item = think_tags_.feed(content);
  item.thinking.insert(0, thinking);
  sink_->push(std::move(item));
}

void ChatTransfer::run(ResponseStream::Sink& sink) {
  sink_ = &sink;
  ServerPool& servers = *request_.servers;
  std::vector<bool> tried(servers.size(), false);
  std::vector<std::string> unreachable;  // the servers tried in vain, in order
  std::string last_why;
  std::string whys;
  while (true) {
    tried[lease_.index()] = true;
    std::optional<std::string> why;
    try {
      why = attempt();
    } catch (...) {
      lease_.release(status_ != 0 ? std::optional<bool>(true) : std::nullopt);
      throw;
    }
    if (!why) {
      lease_.release(status_ != 0 ? std::optional<bool>(true) : std::nullopt);
      return;
    }
    lease_.release(false);
    unreachable.push_back(url_);
    whys += (whys.empty() ? "" : "; ") + url_ + ": " + *why;
    last_why = *why;
    if (cancelled_) return;
    std::optional<std::size_t> next = servers.acquire(tried);
    if (!next) break;
    lease_ = ServerLease(request_.servers, *next);
    url_ = servers.url(*next);
  }
  if (unreachable.size() == 1) fail(last_why);
  throw ModelServerError(std::move(unreachable), request_.model,
                         "no server could be reached: " + whys);
}

std::optional<std::string> ChatTransfer::attempt() {
  splitter_ = LineSplitter(request_.max_line_bytes);
  think_tags_ = ThinkTagSplitter();
  status_ = 0;
  whole_body_.clear();
  done_ = false;
  callback_error_ = nullptr;
  error_buffer_[0] = '\0';
  last_activity_ = Clock::now();
  const std::string url = url_ + "/api/chat";
  curl_easy_setopt(easy(easy_.get()), CURLOPT_URL, url.c_str());
  if (curl_multi_add_handle(multi(multi_.get()), easy(easy_.get())) != CURLM_OK) {
    fail("cannot start the request (libcurl)");
  }
  added_ = true;
  while (true) {
    int running = 0;
    CURLMcode code = curl_multi_perform(multi(multi_.get()), &running);
    if (code != CURLM_OK)
      fail(std::string("the request failed (") + curl_multi_strerror(code) + ")");
    if (cancelled_ || callback_error_ || done_ || running == 0) break;
    auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - last_activity_);
    if (idle >= request_.read_timeout) {
      fail("nothing arrived from the server for " + seconds_text(request_.read_timeout) +
           " (read time-out)");
    }
    auto wait = std::clamp(request_.read_timeout - idle, milliseconds(1), kMaxPollWait);
    code =
        curl_multi_poll(multi(multi_.get()), nullptr, 0, static_cast<int>(wait.count()), nullptr);
    if (code != CURLM_OK)
      fail(std::string("the request failed (") + curl_multi_strerror(code) + ")");
  }
  int result = CURLE_OK;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi(multi_.get()), &queued)) {
    if (message->msg == CURLMSG_DONE) result = message->data.result;
  }
  // Removing the handle closes a connection whose transfer was cut short.
  curl_multi_remove_handle(multi(multi_.get()), easy(easy_.get()));
  added_ = false;
  if (cancelled_) return std::nullopt;
  if (callback_error_) std::rethrow_exception(callback_error_);
  if (done_) return std::nullopt;

  curl_easy_getinfo(easy(easy_.get()), CURLINFO_RESPONSE_CODE, &status_);
  if (status_ == 0) {
    switch (static_cast<CURLcode>(result)) {
      case CURLE_COULDNT_CONNECT:
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_OPERATION_TIMEDOUT:  // only connecting has a libcurl time limit
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_SEND_ERROR:
      case CURLE_RECV_ERROR:
      case CURLE_GOT_NOTHING:
        return describe_curl_error(result, request_.servers->size() == 1);
      default:
        break;
    }
  }
  finish_answer(result);
  return std::nullopt;
}

void ChatTransfer::finish_answer(int curl_code) {
  curl_easy_getinfo(easy(easy_.get()), CURLINFO_RESPONSE_CODE, &status_);
  if (status_ != 0 && status_ != 200) fail(describe_http_error());
  if (curl_code != CURLE_OK) fail(describe_curl_error(curl_code, true));

  if (!request_.stream) {
    ChatLine chat = parse_chat_line(whole_body_);
    if (chat.kind == ChatLine::Kind::kError) fail("the server reported an error: " + chat.error);
    if (chat.kind == ChatLine::Kind::kMalformed || chat.kind == ChatLine::Kind::kBlank) {
      fail("the server sent a malformed answer (" +
           (chat.kind == ChatLine::Kind::kBlank ? std::string("empty") : chat.error) +
           "): " + excerpt(whole_body_));
    }
    if (chat.kind != ChatLine::Kind::kDone) {
      fail("the answer is incomplete: it lacks \"done\": true");
    }
    ResponseItem item = think_tags_.feed(chat.content);
    ResponseItem rest = think_tags_.finish();
    item.content += rest.content;
    item.thinking = chat.thinking + item.thinking + rest.thinking;
    sink_->push(std::move(item));
    chat.summary.server = url_;
    sink_->set_summary(std::move(chat.summary));
    return;
  }
  if (auto rest = splitter_.finish()) handle_line(*rest);
  if (!done_) {
    fail("the answer ended without its final \"done\" line, so it is incomplete");
  }
}

std::string ChatTransfer::describe_curl_error(int curl_code, bool hint) const {
  const auto code = static_cast<CURLcode>(curl_code);
  std::string detail = error_buffer_[0] != '\0' ? std::string(error_buffer_.data())
                                                : std::string(curl_easy_strerror(code));
  switch (code) {
    case CURLE_COULDNT_CONNECT:
      return "cannot connect (" + detail + ")" +
             (hint ? "; is the server running? OLLAMA_HOST names the server to use" : "");
    case CURLE_COULDNT_RESOLVE_HOST:
      return "cannot resolve the server's host name (" + detail + ")";
    case CURLE_OPERATION_TIMEDOUT:
      return "timed out (" + detail + ")";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return "the connection ended before the answer was complete (" + detail + ")";
    default:
      return "the request failed (" + detail + ")";
  }
}

std::string ChatTransfer::describe_http_error() const {
  std::string text;
  auto json = nlohmann::json::parse(whole_body_, nullptr, /*allow_exceptions=*/false);
  if (!json.is_discarded() && json.is_object() && json.contains("error")) {
    text = json["error"].is_string() ? json["error"].get<std::string>() : json["error"].dump();
  } else {
    std::string_view body = whole_body_;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r' || body.back() == ' ')) {
      body.remove_suffix(1);
    }
    text = body.empty() ? "no error text" : excerpt(body);
  }
  return "HTTP status " + std::to_string(status_) + ": " + text;
}

}  // namespace kelmora::llm::details
