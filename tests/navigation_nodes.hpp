#pragma once
// Four controls and decorators that robot navigation trees use, written the way a user of
// kelmora writes node classes (docs/nodes.md describes each one and shows the same code):
//
//   RecoveryNode      control, 2 children: the action, then the recovery it retries after
//   PipelineSequence  control: re-ticks the earlier children while a later one runs
//   RoundRobin        control: one child's turn per tick, in turn
//   RateController    decorator: ticks its child at most `hz` times a second
//
// Register them with register_node_class<T>() on a factory, SequentialEngine or ThreadEngine.
// Not thread-safe: each node belongs to the thread that ticks its tree (RateController::now
// excepted: see there).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <stdexcept>
#include <string>

namespace kelmora::testing::navigation {

using core::NodeStatus;

// Ticks the action (first child). When it fails, ticks the recovery (second child) and, once
// that succeeds, ticks the action again, at most `number_of_retries` times (default 1) per run.
class RecoveryNode : public nodes::ControlNode {
 public:
  using ControlNode::ControlNode;
  static inline const core::PortsList ports = {core::make_port(
      "number_of_retries", "string", "input", "how often the action is retried (default 1)")};

  void validate() override {
    if (childrenCount() != 2) {
      throw ValueError(describe() +
                       ": needs exactly 2 children (the action and its recovery), has " +
                       std::to_string(childrenCount()));
    }
  }

 protected:
  NodeStatus onTick() override {
    const std::int64_t allowed = getInputInt("number_of_retries", 1);
    if (allowed < 0) throw std::invalid_argument("number_of_retries must not be negative");
    while (true) {
      if (!recovering_) {
        const NodeStatus result = child(0).executeTick();
        if (result == NodeStatus::RUNNING) return result;
        if (result != NodeStatus::FAILURE || retries_ >= allowed) return finish(result);
        haltChild(0);
        recovering_ = true;
      }
      const NodeStatus result = child(1).executeTick();
      if (result == NodeStatus::RUNNING) return result;
      if (result == NodeStatus::FAILURE) return finish(result);
      haltChild(1);
      recovering_ = false;
      ++retries_;
    }
  }
  void onHalt() override { finish(NodeStatus::IDLE); }

 private:
  // Ends the run (the core halts the children): the next tick starts with the action.
  NodeStatus finish(NodeStatus result) {
    retries_ = 0;
    recovering_ = false;
    return result;
  }

  std::int64_t retries_ = 0;
  bool recovering_ = false;
};

// Ticks its children in order from the first; a child that is RUNNING stops the tick unless a
// later child has already been reached in this run (then the tick goes on past it). Fails as
// soon as any child fails; succeeds when the last child succeeds.
class PipelineSequence : public nodes::ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  NodeStatus onTick() override {
    for (std::size_t i = 0; i < childrenCount(); ++i) {
      const NodeStatus result = child(i).executeTick();
      if (result == NodeStatus::FAILURE) return finish(result);
      if (result == NodeStatus::RUNNING && i >= furthest_) {
        furthest_ = i;
        return result;
      }
    }
    return finish(NodeStatus::SUCCESS);
  }
  void onHalt() override { finish(NodeStatus::IDLE); }

 private:
  NodeStatus finish(NodeStatus result) {
    furthest_ = 0;
    return result;
  }

  std::size_t furthest_ = 0;  // the furthest child reached in this run
};

// Each tick, ticks the child whose turn it is. RUNNING keeps the turn; SUCCESS ends the tick
// with SUCCESS and passes the turn on; FAILURE (or SKIPPED) passes the turn on and ticks the
// next child at once, until every child has failed in a row: then FAILURE. A halt gives the turn
// back to the first child.
class RoundRobin : public nodes::ControlNode {
 public:
  using ControlNode::ControlNode;

 protected:
  NodeStatus onTick() override {
    while (true) {
      const NodeStatus result = child(turn_).executeTick();
      if (result == NodeStatus::RUNNING) return result;
      turn_ = (turn_ + 1) % childrenCount();
      if (result == NodeStatus::SUCCESS) {
        failures_ = 0;
        return result;
      }
      if (++failures_ == childrenCount()) {
        failures_ = 0;
        return NodeStatus::FAILURE;
      }
    }
  }
  void onHalt() override { turn_ = failures_ = 0; }

 private:
  std::size_t turn_ = 0;      // the child whose turn it is
  std::size_t failures_ = 0;  // children that failed in a row
};

// Ticks its child at most `hz` times a second (default 10). A tick ticks the child when the
// decorator is IDLE (its first tick of a run) or a period (1 / hz) has passed since it last
// ticked it; any other tick returns what the child returned last (RUNNING while it runs).
class RateController : public nodes::DecoratorNode {
 public:
  using DecoratorNode::DecoratorNode;
  using Clock = std::chrono::steady_clock;
  static inline const core::PortsList ports = {
      core::make_port("hz", "string", "input", "ticks of the child per second (default 10)")};
  // The clock; tests replace it before any tree ticks (not thread-safe to change while trees run).
  static inline std::function<Clock::time_point()> now = [] { return Clock::now(); };

 protected:
  NodeStatus onTick() override {
    const double hz = isPortBound("hz") ? parse_hz(getInputString("hz")) : 10.0;
    const Clock::time_point t = now();
    if (status() == NodeStatus::IDLE || t - last_ >= std::chrono::duration<double>(1.0 / hz)) {
      last_ = t;
      result_ = child().executeTick();
    }
    return result_;
  }

 private:
  static double parse_hz(const std::string& text) {
    std::size_t used = 0;
    double hz = 0;
    try {
      hz = std::stod(text, &used);
    } catch (const std::exception&) {
    }
    if (used != text.size() || !(hz > 0)) {
      throw std::invalid_argument("hz must be a positive number, not '" + text + "'");
    }
    return hz;
  }

  Clock::time_point last_;
  NodeStatus result_ = NodeStatus::IDLE;
};

}  // namespace kelmora::testing::navigation
