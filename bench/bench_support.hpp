#pragma once
// Shared by the benchmark programs.

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdint>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/log.hpp>
#include <memory>
#include <string>

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

// Touched by every Noop leaf so that no call can be optimised away.
inline std::atomic<std::uint64_t> g_sink{0};

// The tick of the Noop leaves: bumps g_sink.
inline core::NodeStatus noop_tick(core::TreeNode&) {
  g_sink.fetch_add(1, std::memory_order_relaxed);
  return core::NodeStatus::SUCCESS;
}

// 1 root Sequence + 9 Sequences + 9 x 10 Noop actions = 100 nodes, 90 of them leaves.
inline std::string hundred_node_tree() {
  std::string xml = R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence>)";
  for (int group = 0; group < 9; ++group) {
    xml += "<Sequence>";
    for (int leaf = 0; leaf < 10; ++leaf) xml += "<Noop/>";
    xml += "</Sequence>";
  }
  return xml + "</Sequence></BehaviorTree></root>";
}

}  // namespace kelmora::bench
