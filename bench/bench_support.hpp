#pragma once
// Shared by the benchmark programs.

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <kelmora/log.hpp>
#include <memory>

namespace kelmora::bench {

// Sends the engine's log lines nowhere, so writing them does not weigh on the measurements.
inline void silence_log() {
  static const bool done = [] {
    kelmora::log::set_logger(
        std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>()));
    return true;
  }();
  (void)done;
}

}  // namespace kelmora::bench
