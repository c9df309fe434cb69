#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <kelmora/log.hpp>
#include <mutex>

namespace kelmora::log {
namespace {

std::shared_ptr<spdlog::logger> make_default_logger() {
  auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  auto logger = std::make_shared<spdlog::logger>("kelmora", std::move(sink));
  logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v");
  logger->set_level(spdlog::level::info);
  return logger;
}

struct Shared {
  std::mutex mutex;
  std::shared_ptr<spdlog::logger> logger;
};

Shared& shared() {
  static Shared* instance = new Shared{};  // never destroyed: workers may log during exit
  return *instance;
}

void write(spdlog::level::level_enum level, const std::string& message) noexcept {
  try {
    logger()->log(level, "{}", message);
  } catch (...) {
    // A log line must never take down the operation that writes it.
  }
}

}  // namespace

std::shared_ptr<spdlog::logger> logger() {
  auto& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.logger) s.logger = make_default_logger();
  return s.logger;
}

void set_logger(std::shared_ptr<spdlog::logger> logger) {
  auto& s = shared();
  std::lock_guard lock(s.mutex);
  s.logger = std::move(logger);
}

void info(const std::string& message) noexcept { write(spdlog::level::info, message); }
void error(const std::string& message) noexcept { write(spdlog::level::err, message); }

}  // namespace kelmora::log
