#pragma once
// The standard decorators: Inverter, ForceSuccess, ForceFailure, Repeat, RetryUntilSuccessful,
// KeepRunningUntilFailure, RunOnce, Delay, Timeout. docs/core.md describes what each tick does.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <chrono>
#include <cstdint>
#include <kelmora/nodes/control_node.hpp>
#include <optional>

namespace kelmora::nodes {

// SUCCESS <-> FAILURE; RUNNING and SKIPPED pass unchanged.
class InverterNode : public DecoratorNode {
 public:
  using DecoratorNode::DecoratorNode;

 protected:
  core::NodeStatus onTick() override;
};

// A completed child gives `result` (SUCCESS for ForceSuccess, FAILURE for ForceFailure).
class ForceNode : public DecoratorNode {
 public:
  ForceNode(core::NodeConfig config, core::NodeStatus result);

 protected:
  core::NodeStatus onTick() override;

 private:
  core::NodeStatus result_;
};

// Repeat (`num_cycles`): re-runs a succeeding child, within one tick, until it has succeeded
// num_cycles times (SUCCESS); a FAILURE ends it. With -1 it repeats forever and returns RUNNING
// after every cycle, so that a tick always ends, with a wake-up, so that tick loops run the next
// cycle at once. Between two cycles of one tick it checks the
// tree's stop token: a requested stop ends the tick with TreeStoppedError ("tree was stopped
// while ticking"), so that a huge count stays stoppable.
// RetryUntilSuccessful (`num_attempts`): the same with SUCCESS and FAILURE swapped.
class RepeatNode : public DecoratorNode {
 public:
  enum class Flavor { kRepeat, kRetry };
  RepeatNode(core::NodeConfig config, Flavor flavor);

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { count_ = 0; }

 private:
  Flavor flavor_;
  std::int64_t count_ = 0;
};

// Child SUCCESS -> RUNNING (the child is reset and runs again next tick, which a wake-up makes
// tick loops run at once); FAILURE -> FAILURE; RUNNING -> RUNNING.
class KeepRunningUntilFailureNode : public DecoratorNode {
 public:
  using DecoratorNode::DecoratorNode;

 protected:
  core::NodeStatus onTick() override;
};

// Runs its child until it completes once; afterwards returns SKIPPED (`then_skip`="true", the
// default) or the child's first result. Halts do not make it run again; a tree reset does.
class RunOnceNode : public DecoratorNode {
 public:
  using DecoratorNode::DecoratorNode;

 protected:
  core::NodeStatus onTick() override;
  void onReset() override;

 private:
  std::optional<core::NodeStatus> result_;
};

// A decorator with one deadline, set at its first tick from a duration port (in milliseconds,
// see TreeTimers::deadline_after) and forgotten when it completes or is halted.
class DeadlineDecorator : public DecoratorNode {
 public:
  using DecoratorNode::DecoratorNode;

 protected:
  // The deadline, set now + the port's milliseconds when there is none yet.
  core::TreeTimers::Clock::time_point deadline(const char* duration_port,
                                               core::TreeTimers::Clock::time_point now);
  void onHalt() override { deadline_.reset(); }
  // Halts the child and forgets the deadline: the node completes with `result`.
  core::NodeStatus finish(core::NodeStatus result);

 private:
  std::optional<core::TreeTimers::Clock::time_point> deadline_;
};

// Waits `delay_msec` without blocking (RUNNING until then), then ticks its child and returns its
// status.
class DelayNode : public DeadlineDecorator {
 public:
  using DeadlineDecorator::DeadlineDecorator;

 protected:
  core::NodeStatus onTick() override;
};

// Ticks its child; when the child is still RUNNING `msec` after the first tick, the child is
// halted and the Timeout returns FAILURE (checked at each tick, which tick loops schedule at the
// deadline).
class TimeoutNode : public DeadlineDecorator {
 public:
  using DeadlineDecorator::DeadlineDecorator;

 protected:
  core::NodeStatus onTick() override;
};

}  // namespace kelmora::nodes
