#pragma once
// The "Count" action shared by the stress program and the churn tests: reads `count_in`, writes
// `count_in + 1` (1 when the entry was never written) to `count_out`. Binding both ports to one
// entry makes a counter of the ticks a tree ran, so lost or doubled ticks show.

#include <any>
#include <cstdint>
#include <kelmora/engine/trigger/mthread.hpp>

namespace kelmora::testing {

inline void register_count_action(ThreadEngine& engine) {
  engine.register_action_behavior("Count",
                                  [](core::TreeNode& node) {
                                    const std::any value = node.getInputObject("count_in");
                                    const auto* count = std::any_cast<std::int64_t>(&value);
                                    node.setOutput("count_out",
                                                   std::int64_t{count ? *count + 1 : 1});
                                    return core::NodeStatus::SUCCESS;
                                  },
                                  {core::make_port("count_in", "object", "input"),
                                   core::make_port("count_out", "object", "output")});
}

}  // namespace kelmora::testing
