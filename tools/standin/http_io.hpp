#pragma once
// Socket and HTTP/1.1 helpers of the stand-in model server. Every wait also watches a "wake"
// descriptor that becomes readable when the server stops, so no thread can hang in I/O.
//
// Not thread-safe per connection: one thread serves one connection.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace kelmora::testing::details {

// Owns a file descriptor; closes it on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

enum class IoResult {
  kOk,       // done
  kHangup,   // the peer closed the connection (or reset it)
  kStopped,  // the server is stopping
  kTimeout,  // the wait's time ran out
  kBad,      // the peer sent something that is not an HTTP request we serve
};

struct HttpRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Makes `fd` non-blocking and sends small writes at once (TCP_NODELAY).
void prepare_socket(int fd);

// Reads one request (headers and a Content-Length body); answers "Expect: 100-continue".
IoResult read_request(int fd, int wake_fd, HttpRequest& request);

// Sends all of `data`.
IoResult send_all(int fd, int wake_fd, std::string_view data);

// Waits `ms` milliseconds (kOk), or less if the server stops (kStopped) or the peer on `fd`
// hangs up (kHangup; input that arrives meanwhile is discarded).
IoResult pause(int fd, int wake_fd, unsigned ms);

// Makes closing `fd` reset the connection (RST) instead of ending it in order.
void reset_on_close(int fd);

// Waits until the peer hangs up (kHangup) or the server stops (kStopped), discarding input.
IoResult hold(int fd, int wake_fd);

// A status line and headers; `chunked` selects Transfer-Encoding: chunked, otherwise
// Content-Length is `content_length`. Every response closes its connection.
std::string response_head(int status, std::string_view content_type, bool chunked,
                          std::size_t content_length = 0);
// One chunk of a chunked body; an empty `data` gives the final chunk.
std::string chunk(std::string_view data);

}  // namespace kelmora::testing::details
