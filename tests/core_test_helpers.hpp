#pragma once
// Helpers for the behaviour-tree core tests: scripted actions whose results a test sets, and a
// trace of which actions each tick ran.

#include <gtest/gtest.h>

#include <algorithm>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <map>
#include <string>
#include <vector>

namespace kelmora::testing {

// Short names for statuses in test tables (`using namespace statuses;`).
namespace statuses {
inline constexpr auto I = core::NodeStatus::IDLE;
inline constexpr auto S = core::NodeStatus::SUCCESS;
inline constexpr auto F = core::NodeStatus::FAILURE;
inline constexpr auto R = core::NodeStatus::RUNNING;
inline constexpr auto K = core::NodeStatus::SKIPPED;
}  // namespace statuses

// Registers actions whose ticks return a scripted sequence of statuses (the last one repeats)
// and records the ids they ran in order.
class ScriptedActions {
 public:
  using Status = core::NodeStatus;

  void add(engine::SequentialEngine& engine, const std::string& id, std::vector<Status> script) {
    scripts_[id] = std::move(script);
    engine.register_action_behavior(id, [this, id](core::TreeNode&) { return next(id); }, {});
  }

  // The ids ticked since the last call, joined by spaces ("A B").
  std::string take_trace() {
    std::string joined;
    for (const auto& id : trace_) joined += (joined.empty() ? "" : " ") + id;
    trace_.clear();
    return joined;
  }

 private:
  Status next(const std::string& id) {
    trace_.push_back(id);
    auto& script = scripts_.at(id);
    std::size_t& at = positions_[id];
    Status status = script.at(std::min(at, script.size() - 1));
    ++at;
    return status;
  }

  std::map<std::string, std::vector<Status>> scripts_;
  std::map<std::string, std::size_t> positions_;
  std::vector<std::string> trace_;
};

// The XML document around one BehaviorTree body.
inline std::string main_tree(const std::string& body) {
  return R"(<root BTCPP_format="4"><BehaviorTree ID="MainTree">)" + body + "</BehaviorTree></root>";
}

// One tick of a table case: the tree's status and the actions it ran.
struct TickExpectation {
  core::NodeStatus status;
  std::string trace;
};

// A table case for node semantics: a tree body, the scripts of its actions, and what each tick
// must return and run.
struct NodeCase {
  std::string name;
  std::string body;
  std::map<std::string, std::vector<core::NodeStatus>> scripts;
  std::vector<TickExpectation> ticks;
};

inline void PrintTo(const NodeCase& c, std::ostream* os) { *os << c.name; }

// Builds the case's tree and checks every tick against the table.
inline void expect_ticks(const NodeCase& c) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  for (const auto& [id, script] : c.scripts) actions.add(engine, id, script);
  engine.create_tree_from_text(main_tree(c.body));
  for (std::size_t i = 0; i < c.ticks.size(); ++i) {
    SCOPED_TRACE("tick " + std::to_string(i + 1));
    EXPECT_EQ(engine.tick_once(), c.ticks[i].status);
    EXPECT_EQ(actions.take_trace(), c.ticks[i].trace);
  }
}

}  // namespace kelmora::testing
