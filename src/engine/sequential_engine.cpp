#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/log.hpp>
#include <mutex>
#include <string>
#include <utility>

namespace kelmora::engine {

using core::NodeStatus;

SequentialEngine::SequentialEngine() = default;

// The tree halts its running nodes itself as it goes away (see Tree), logging what a halt throws.
SequentialEngine::~SequentialEngine() = default;

SequentialEngine::SequentialEngine(SequentialEngine&&) noexcept = default;

SequentialEngine& SequentialEngine::operator=(SequentialEngine&&) noexcept = default;

void SequentialEngine::halt_running_tree() {
  last_status_ = NodeStatus::IDLE;
  if (tree_) tree_->halt();
}

core::Tree& SequentialEngine::tree() {
  if (!tree_) throw core::NoTreeError("no tree has been built");
  return *tree_;
}

const core::Tree& SequentialEngine::tree() const {
  if (!tree_) throw core::NoTreeError("no tree has been built");
  return *tree_;
}

void SequentialEngine::register_action_behavior(const std::string& action_id,
                                                core::TickFunctor tick_functor,
                                                core::PortsList ports_list) {
  factory_.register_action_behavior(action_id, std::move(tick_functor), std::move(ports_list));
}

void SequentialEngine::register_scripting_enum(std::string_view name, std::int64_t value) {
  factory_.register_scripting_enum(name, value);
}

void SequentialEngine::register_scripting_enums(
    const std::vector<std::pair<std::string, std::int64_t>>& values) {
  factory_.register_scripting_enums(values);
}

std::vector<std::string> SequentialEngine::register_trees(
    const std::vector<std::shared_ptr<const core::TreeDefinitions>>& batch) {
  return factory_.register_trees(batch);
}

std::vector<std::string> SequentialEngine::register_tree_text(const std::string& xml_text) {
  return factory_.register_tree_text(xml_text);
}

std::vector<std::string> SequentialEngine::register_tree_file(const std::string& path) {
  return factory_.register_tree_file(path);
}

std::vector<std::string> SequentialEngine::register_tree_folder(const std::string& path) {
  return factory_.register_tree_folder(path);
}

void SequentialEngine::register_condition_behavior(const std::string& condition_id,
                                                   core::TickFunctor tick_functor,
                                                   core::PortsList ports_list) {
  factory_.register_condition_behavior(condition_id, std::move(tick_functor),
                                       std::move(ports_list));
}

void SequentialEngine::register_node_class(const core::NodeClass& node_class,
                                           std::optional<std::string> node_id) {
  factory_.register_node_class(node_class, std::move(node_id));
}

void SequentialEngine::install(core::Tree tree) {
  if (tree_) {
    try {
      tree_->haltTree();
    } catch (const std::exception& e) {
      // The tree is being replaced: the halt is complete; only its `_onHalted` script failed.
      log::error(std::string("halting the replaced tree: ") + e.what());
    }
  }
  tree.setStopToken(stop_token_);
  tree.setWakeUpSignal(wake_up_);
  tree_ = std::move(tree);
  tick_count_ = 0;
  last_status_ = NodeStatus::IDLE;
  if (step_hook_) step_hook_(*tree_, StepPoint::kAfter);
}

void SequentialEngine::refuse_while_ticking(std::string_view operation) const {
  if (tree_) tree_->refuseWhileTicking(operation);
}

void SequentialEngine::create_tree(const core::TreeSource& source) {
  refuse_while_ticking("SequentialEngine::create_tree");
  install(factory_.create_tree(source));
}

void SequentialEngine::create_tree_from_text(const std::string& xml_text) {
  refuse_while_ticking("SequentialEngine::create_tree_from_text");
  install(factory_.create_tree_from_text(xml_text));
}

void SequentialEngine::create_tree_from_file(const std::string& path) {
  refuse_while_ticking("SequentialEngine::create_tree_from_file");
  install(factory_.create_tree_from_file(path));
}

void SequentialEngine::create_tree_by_name(const std::string& tree_name) {
  refuse_while_ticking("SequentialEngine::create_tree_by_name");
  install(factory_.create_tree_by_name(tree_name));
}

NodeStatus SequentialEngine::tick_once() {
  refuse_while_ticking("SequentialEngine::tick_once");
  core::Tree& current = tree();
  ++tick_count_;
  if (step_hook_) step_hook_(current, StepPoint::kBefore);
  try {
    last_status_ = current.tickOnce();
  } catch (...) {
    last_status_ = NodeStatus::IDLE;  // the tree halted itself
    if (step_hook_) step_hook_(current, StepPoint::kAfter);
    throw;
  }
  if (step_hook_) step_hook_(current, StepPoint::kAfter);
  return last_status_;
}

// The checks of one tick loop: the engine's stop token, the loop's cancel token and its
// interruption check, and the wait between RUNNING ticks. When the loop is to end, end() halts the
// tree and throws.
class SequentialEngine::LoopGuard {
 public:
  LoopGuard(SequentialEngine& engine, const LoopControl& control)
      : engine_(engine), control_(control), next_poll_(Clock::now() + control.poll_every) {}

  // Throws (after halting the tree) when a stop or the loop's control asks the loop to end.
  void check() {
    if (engine_.stop_token_.stop_requested()) end("tree was stopped while ticking");
    if (control_.cancel.stop_requested()) end("tick loop was cancelled");
    if (control_.interrupted) {
      const auto now = Clock::now();
      if (now >= next_poll_) {
        next_poll_ = now + control_.poll_every;
        if (control_.interrupted()) end("tick loop was cancelled");
      }
    }
  }

  // The wait after a RUNNING tick: until a wake-up, the earliest timer, the tick period or a
  // stop, whichever comes first; with an interruption check, in slices of poll_every.
  void wait(const core::Tree& tree) {
    // A time-based node's deadline is waited for as it is (the tick period does not shorten it);
    // the period bounds the wait of a tree without one.
    const auto timer = tree.nextWakeup();
    const auto deadline = timer ? *timer : Clock::now() + engine_.tick_period_;
    for (;;) {
      auto until = deadline;
      if (control_.interrupted && next_poll_ < until) until = next_poll_;
      const auto woken = engine_.wake_up_->wait_until(until, engine_.stop_token_, control_.cancel);
      if (woken != core::WakeUpSignal::Woken::kDeadline) return;
      if (Clock::now() >= deadline) return;
      check();  // a slice ended: the interruption check is due
    }
  }

 private:
  using Clock = std::chrono::steady_clock;

  [[noreturn]] void end(const char* why) {
    engine_.halt_running_tree();
    throw core::TreeStoppedError(why);
  }

  SequentialEngine& engine_;
  const LoopControl& control_;
  Clock::time_point next_poll_;
};

std::int64_t SequentialEngine::tick_until(NodeStatus target, const LoopControl& control) {
  core::Tree& current = tree();
  LoopGuard guard(*this, control);
  std::int64_t ticks = 0;
  for (;;) {
    guard.check();
    const NodeStatus status = tick_once();
    ++ticks;
    if (status == target) return ticks;
    if (status == NodeStatus::RUNNING) guard.wait(current);
  }
}

std::int64_t SequentialEngine::tick_until_failure(const LoopControl& control) {
  refuse_while_ticking("SequentialEngine::tick_until_failure");
  return tick_until(NodeStatus::FAILURE, control);
}

std::int64_t SequentialEngine::tick_until_success(const LoopControl& control) {
  refuse_while_ticking("SequentialEngine::tick_until_success");
  return tick_until(NodeStatus::SUCCESS, control);
}

std::vector<NodeStatus> SequentialEngine::tick_n_times(std::int64_t n, const LoopControl& control) {
  refuse_while_ticking("SequentialEngine::tick_n_times");
  (void)tree();
  LoopGuard guard(*this, control);
  std::vector<NodeStatus> statuses;
  for (std::int64_t i = 0; i < n; ++i) {
    guard.check();
    statuses.push_back(tick_once());
  }
  return statuses;
}

core::AnyMap SequentialEngine::get_tree_status() const {
  const core::Tree& current = tree();
  std::vector<core::AnyMap> nodes;
  if (const core::TreeNode* root = current.rootNode()) {
    core::visit_depth_first(*root, [&nodes](const core::TreeNode& node, std::size_t depth) {
      nodes.push_back({{"name", node.name()},
                       {"id", node.registration_id()},
                       {"kind", std::string(core::to_string(node.kind()))},
                       {"status", std::string(core::to_string(node.status()))},
                       {"depth", static_cast<std::int64_t>(depth)},
                       {"uid", static_cast<std::int64_t>(node.uid())},
                       {"tick_count", node.counters().ticks},
                       {"success_count", node.counters().successes},
                       {"failure_count", node.counters().failures},
                       {"skip_count", node.counters().skips},
                       {"halt_count", node.counters().halts},
                       {"last_change_us", core::wall_clock_us(node.counters().last_change)}});
    });
  }
  return {{"status", std::string(core::to_string(last_status_))},
          {"tick_count", tick_count_},
          {"root", current.rootNode() != nullptr ? current.rootNode()->name() : std::string()},
          {"main_tree", current.mainTreeId()},
          {"nodes", std::move(nodes)}};
}

std::any SequentialEngine::get_blackboard_data(const std::string& key) const {
  auto value = tree().rootBlackboard()->get(key);
  return value ? std::move(*value) : std::any();
}

void SequentialEngine::set_blackboard_data(const std::string& key, std::any value) {
  tree().rootBlackboard()->set(key, std::move(value));
}

core::AnyMap SequentialEngine::get_all_blackboard_data() const {
  return tree().rootBlackboard()->entries();
}

void SequentialEngine::halt_tree() {
  refuse_while_ticking("SequentialEngine::halt_tree");
  (void)tree();
  halt_running_tree();
}

void SequentialEngine::set_tick_period(std::chrono::nanoseconds period) {
  if (period < std::chrono::nanoseconds::zero()) {
    throw ValueError("the tick period must not be negative (got " + std::to_string(period.count()) +
                     " ns)");
  }
  tick_period_ = period;
}

void SequentialEngine::set_wake_up_signal(std::shared_ptr<core::WakeUpSignal> signal) {
  if (!signal) return;
  wake_up_ = std::move(signal);
  if (tree_) tree_->setWakeUpSignal(wake_up_);
}

void SequentialEngine::reset_tree() {
  refuse_while_ticking("SequentialEngine::reset_tree");
  core::Tree& current = tree();
  if (step_hook_) step_hook_(current, StepPoint::kBefore);
  tick_count_ = 0;
  last_status_ = NodeStatus::IDLE;
  try {
    current.haltTree();  // an `_onHalted` script that fails throws once every node is halted
  } catch (...) {
    if (step_hook_) step_hook_(current, StepPoint::kAfter);
    throw;
  }
  if (step_hook_) step_hook_(current, StepPoint::kAfter);
}

void SequentialEngine::set_stop_token(std::stop_token token) {
  stop_token_ = std::move(token);
  if (tree_) tree_->setStopToken(stop_token_);
}

}  // namespace kelmora::engine
