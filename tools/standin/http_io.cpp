#include "standin/http_io.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kelmora::testing::details {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 16 * 1024 * 1024;

enum class Ready { kFd, kWake, kTimeout };

Ready wait_for(int fd, short events, int wake_fd, int timeout_ms) {
  pollfd fds[2] = {{wake_fd, POLLIN, 0}, {fd, events, 0}};
  const nfds_t count = fd < 0 ? 1 : 2;
  while (true) {
    int n = ::poll(fds, count, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return Ready::kTimeout;
    if (n < 0 || fds[0].revents != 0) return Ready::kWake;
    return Ready::kFd;
  }
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return std::string(s);
}

// Reads what is available into `buffer`.
IoResult receive(int fd, int wake_fd, std::string& buffer) {
  while (true) {
    if (wait_for(fd, POLLIN, wake_fd, -1) == Ready::kWake) return IoResult::kStopped;
    char data[16 * 1024];
    ssize_t n = ::recv(fd, data, sizeof data, 0);
    if (n > 0) {
      buffer.append(data, static_cast<std::size_t>(n));
      return IoResult::kOk;
    }
    if (n == 0) return IoResult::kHangup;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return IoResult::kHangup;
  }
}

bool parse_head(std::string_view head, HttpRequest& request) {
  auto line_end = head.find("\r\n");
  std::string_view line = head.substr(0, line_end);
  auto sp1 = line.find(' ');
  auto sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  request.method = std::string(line.substr(0, sp1));
  request.path = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  if (line.substr(sp2 + 1).rfind("HTTP/1.", 0) != 0) return false;
  while (line_end != std::string_view::npos) {
    head.remove_prefix(line_end + 2);
    line_end = head.find("\r\n");
    line = head.substr(0, line_end);
    if (line.empty()) continue;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    request.headers[lower(std::string(line.substr(0, colon)))] = trim(line.substr(colon + 1));
  }
  return true;
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

void prepare_socket(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

IoResult read_request(int fd, int wake_fd, HttpRequest& request) {
  std::string buffer;
  std::size_t head_end;
  while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (buffer.size() > kMaxHead) return IoResult::kBad;
    if (IoResult r = receive(fd, wake_fd, buffer); r != IoResult::kOk) return r;
  }
  if (!parse_head(std::string_view(buffer).substr(0, head_end + 2), request)) return IoResult::kBad;
  std::size_t length = 0;
  if (auto it = request.headers.find("content-length"); it != request.headers.end()) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || value > kMaxBody) return IoResult::kBad;
    length = static_cast<std::size_t>(value);
  } else if (request.headers.count("transfer-encoding") != 0) {
    return IoResult::kBad;  // chunked requests: our client never sends them
  }
  if (auto it = request.headers.find("expect");
      it != request.headers.end() && lower(it->second) == "100-continue") {
    if (IoResult r = send_all(fd, wake_fd, "HTTP/1.1 100 Continue\r\n\r\n"); r != IoResult::kOk) {
      return r;
    }
  }
  request.body = buffer.substr(head_end + 4);
  while (request.body.size() < length) {
    if (IoResult r = receive(fd, wake_fd, request.body); r != IoResult::kOk) return r;
  }
  request.body.resize(length);
  return IoResult::kOk;
}

IoResult send_all(int fd, int wake_fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_for(fd, POLLOUT, wake_fd, -1) == Ready::kWake) return IoResult::kStopped;
      continue;
    }
    return IoResult::kHangup;
  }
  return IoResult::kOk;
}

IoResult pause(int fd, int wake_fd, unsigned ms) {
  if (ms == 0) return IoResult::kOk;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return IoResult::kOk;
    switch (wait_for(fd, POLLIN | POLLRDHUP, wake_fd, static_cast<int>(left.count()) + 1)) {
      case Ready::kTimeout:
        continue;
      case Ready::kWake:
        return IoResult::kStopped;
      case Ready::kFd: {
        char data[4096];
        ssize_t n = ::recv(fd, data, sizeof data, 0);
        if (n == 0) return IoResult::kHangup;
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
          return IoResult::kHangup;
        }
        continue;  // input after the request: discarded
      }
    }
  }
}

void reset_on_close(int fd) {
  linger option{};
  option.l_onoff = 1;
  option.l_linger = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

IoResult hold(int fd, int wake_fd) {
  std::string discarded;
  while (true) {
    IoResult r = receive(fd, wake_fd, discarded);
    if (r != IoResult::kOk) return r;
    discarded.clear();
  }
}

std::string response_head(int status, std::string_view content_type, bool chunked,
                          std::size_t content_length) {
  const char* reason = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 404 ? "Not Found"
                       : status == 405 ? "Method Not Allowed"
                                       : "Internal Server Error";
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  head += "Content-Type: " + std::string(content_type) + "\r\n";
  head += chunked ? std::string("Transfer-Encoding: chunked\r\n")
                  : "Content-Length: " + std::to_string(content_length) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head;
}

std::string chunk(std::string_view data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  std::string out = size;
  out.append(data);
  out += "\r\n";
  return out;
}

}  // namespace kelmora::testing::details
