#include "support/log_capture.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <kelmora/log.hpp>

namespace kelmora::testing {

struct LogCapture::Store {
  mutable std::mutex mutex;
  std::vector<LogLine> lines;
};

namespace {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit CaptureSink(std::shared_ptr<LogCapture::Store> store) : store_(std::move(store)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string level = msg.level == spdlog::level::err ? "error"
                        : msg.level == spdlog::level::info
                            ? "info"
                            : std::string(spdlog::level::to_string_view(msg.level).data());
    std::lock_guard lock(store_->mutex);
    store_->lines.push_back({level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::shared_ptr<LogCapture::Store> store_;
};

}  // namespace

LogCapture::LogCapture() : store_(std::make_shared<Store>()) {
  auto logger =
      std::make_shared<spdlog::logger>("kelmora-test", std::make_shared<CaptureSink>(store_));
  logger->set_level(spdlog::level::trace);
  kelmora::log::set_logger(std::move(logger));
}

LogCapture::~LogCapture() { kelmora::log::set_logger(nullptr); }

std::vector<LogLine> LogCapture::lines() const {
  std::lock_guard lock(store_->mutex);
  return store_->lines;
}

std::vector<std::string> LogCapture::texts(const std::string& level) const {
  std::vector<std::string> out;
  for (const auto& line : lines()) {
    if (level.empty() || line.level == level) out.push_back(line.text);
  }
  return out;
}

std::size_t LogCapture::count(const std::string& level, const std::string& text) const {
  auto all = lines();
  return static_cast<std::size_t>(std::count(all.begin(), all.end(), LogLine{level, text}));
}

void LogCapture::clear() {
  std::lock_guard lock(store_->mutex);
  store_->lines.clear();
}

}  // namespace kelmora::testing
