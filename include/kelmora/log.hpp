#pragma once
// kelmora's one shared logger, with the two levels the engine uses: info and error.
//
// By default lines go to standard error as "[time] [level] message". A host may replace the
// logger (the Python module routes it to loguru; tests capture it).

#include <memory>
#include <string>

namespace spdlog {
class logger;
}

namespace kelmora::log {

// The shared logger. Thread-safe.
std::shared_ptr<spdlog::logger> logger();
// Replaces the shared logger; nullptr restores the default. Thread-safe.
void set_logger(std::shared_ptr<spdlog::logger> logger);

// One line at info / error level, the text unchanged. Thread-safe; never throws.
void info(const std::string& message) noexcept;
void error(const std::string& message) noexcept;

}  // namespace kelmora::log
