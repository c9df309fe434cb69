#pragma once
// A scripted leaf for tick-by-tick tests of controls and decorators: it returns the statuses its
// `script` port lists, in turn, and traces its ticks and the halts that reach it while it runs.
// Not thread-safe: the trace is one process-wide list, for tests that tick on one thread.

#include <algorithm>
#include <cstddef>
#include <kelmora/nodes/action_node.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora::testing {

// What the leaves did since the last take: "A" for a tick of A, "~A" for a halt of running A.
inline std::vector<std::string>& trace() {
  static std::vector<std::string> events;
  return events;
}

inline std::string take_trace() {
  std::string joined;
  for (const auto& event : trace()) joined += (joined.empty() ? "" : " ") + event;
  trace().clear();
  return joined;
}

// A leaf that returns the statuses of its `script` port in turn ("F,R,S": S success, F failure,
// K skipped, anything else running; the last repeats), across runs; a halt while it runs is
// traced.
class Scripted : public nodes::StatefulActionNode {
 public:
  using StatefulActionNode::StatefulActionNode;
  static inline const core::PortsList ports = {core::make_port("script", "string", "input")};

 protected:
  core::NodeStatus onStart() override { return next(); }
  core::NodeStatus onRunning() override { return next(); }
  void onHalted() override { trace().push_back("~" + name()); }

 private:
  core::NodeStatus next() {
    using namespace statuses;
    trace().push_back(name());
    std::vector<std::string> items;
    std::stringstream in(getInputString("script"));
    for (std::string item; std::getline(in, item, ',');) items.push_back(item);
    const std::string& item = items.at(std::min(at_++, items.size() - 1));
    return item == "S" ? S : item == "F" ? F : item == "K" ? K : R;
  }
  std::size_t at_ = 0;
};

}  // namespace kelmora::testing
