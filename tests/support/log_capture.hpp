#pragma once
// LogCapture: while alive, every line written through kelmora::log is recorded (and not
// printed), so tests can assert exact log lines and their order.
//
// Thread-safe: lines may be written from worker threads while a test reads them.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelmora::testing {

struct LogLine {
  std::string level;  // "info" or "error"
  std::string text;
  bool operator==(const LogLine&) const = default;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> lines() const;
  std::vector<std::string> texts(const std::string& level = "") const;
  // How many lines have exactly this level and text.
  std::size_t count(const std::string& level, const std::string& text) const;
  void clear();

  struct Store;

 private:
  std::shared_ptr<Store> store_;
};

}  // namespace kelmora::testing
