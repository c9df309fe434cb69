#pragma once
// ChatTransfer: one POST /api/chat run with libcurl on a ResponseStream's own thread. Internal to
// the agent layer.

#include <atomic>
#include <chrono>
#include <exception>
#include <kelmora/llm/chat_settings.hpp>
#include <kelmora/llm/ndjson.hpp>
#include <kelmora/llm/ollama.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server_pool.hpp"

struct curl_slist;

namespace kelmora::llm::details {

struct ChatRequest {
  std::shared_ptr<ServerPool> servers;
  std::string model;
  std::vector<ChatMessage> messages;
  bool stream = true;
  std::optional<Think> think;
  ModelOptions model_options;
  std::optional<KeepAlive> keep_alive;
  std::chrono::milliseconds read_timeout{};
  std::chrono::milliseconds connect_timeout{};
  std::size_t max_line_bytes = kDefaultMaxLineBytes;
};

// The JSON body of the request. Thread-safe.
std::string chat_request_body(const ChatRequest& request);

class ChatTransfer final : public ResponseStream::Producer {
 public:
  // Prepares the request, to be sent first to the server `first` holds (the chat is counted in
  // flight there already); contacts nobody. Throws ModelServerError when libcurl cannot be set
  // up.
  ChatTransfer(ChatRequest request, ServerLease first);
  ~ChatTransfer() override;
  ChatTransfer(const ChatTransfer&) = delete;
  ChatTransfer& operator=(const ChatTransfer&) = delete;

  // Not thread-safe: runs once, on the stream's thread.
  void run(ResponseStream::Sink& sink) override;
  // Wakes run() from its wait and makes it return. Thread-safe.
  void cancel() noexcept override;

 private:
  static std::size_t write_callback(char* data, std::size_t size, std::size_t count, void* self);
  std::size_t on_data(std::string_view bytes);
  // One attempt on the leased server: returns why it could not be reached, or std::nullopt when
  // the answer is complete or the stream cancelled; throws any other failure.
  std::optional<std::string> attempt();
  void handle_line(const std::string& line);
  void deliver(std::string_view content, std::string thinking);
  void finish_answer(int curl_code);
  [[noreturn]] void fail(const std::string& detail) const;
  std::string describe_curl_error(int curl_code, bool hint) const;
  std::string describe_http_error() const;

  ChatRequest request_;
  std::string body_;
  std::vector<char> error_buffer_;  // libcurl writes its error text here
  struct EasyDeleter {
    void operator()(void* handle) const noexcept;
  };
  struct MultiDeleter {
    void operator()(void* handle) const noexcept;
  };
  struct ListDeleter {
    void operator()(curl_slist* list) const noexcept;
  };
  std::unique_ptr<curl_slist, ListDeleter> headers_;
  std::unique_ptr<void, MultiDeleter> multi_;  // CURLM
  std::unique_ptr<void, EasyDeleter> easy_;    // CURL, destroyed before the multi handle
  bool added_ = false;
  std::atomic<bool> cancelled_{false};

  // State of the running transfer, touched only on the stream's thread (and the lease also by the
  // destructor).
  ServerLease lease_;
  std::string url_;  // of the leased server
  ResponseStream::Sink* sink_ = nullptr;
  LineSplitter splitter_;
  ThinkTagSplitter think_tags_;
  long status_ = 0;
  std::string whole_body_;  // the body of an error status or of a non-streamed answer
  bool done_ = false;
  std::exception_ptr callback_error_;
  std::chrono::steady_clock::time_point last_activity_;
};

}  // namespace kelmora::llm::details
