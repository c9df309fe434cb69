#include <condition_variable>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/log.hpp>
#include <mutex>
#include <utility>

namespace kelmora::engine {

using core::NodeStatus;

SequentialEngine::SequentialEngine() = default;

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

void SequentialEngine::throw_if_stopped() const {
  if (stop_token_.stop_requested()) {
    throw core::TreeStoppedError("tree was stopped while ticking");
  }
}

void SequentialEngine::wait_until(std::chrono::steady_clock::time_point deadline) const {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  // Nothing notifies `wake`: it ends at the deadline or when the stop token fires.
  wake.wait_until(lock, stop_token_, deadline, [] { return false; });
}

std::int64_t SequentialEngine::tick_until(NodeStatus target) {
  core::Tree& current = tree();
  std::int64_t ticks = 0;
  for (;;) {
    throw_if_stopped();
    const NodeStatus status = tick_once();
    ++ticks;
    if (status == target) return ticks;
    if (status == NodeStatus::RUNNING) {
      if (auto wake = current.nextWakeup()) wait_until(*wake);
    }
  }
}

std::int64_t SequentialEngine::tick_until_failure() {
  refuse_while_ticking("SequentialEngine::tick_until_failure");
  return tick_until(NodeStatus::FAILURE);
}

std::int64_t SequentialEngine::tick_until_success() {
  refuse_while_ticking("SequentialEngine::tick_until_success");
  return tick_until(NodeStatus::SUCCESS);
}

std::vector<NodeStatus> SequentialEngine::tick_n_times(std::int64_t n) {
  refuse_while_ticking("SequentialEngine::tick_n_times");
  (void)tree();
  std::vector<NodeStatus> statuses;
  for (std::int64_t i = 0; i < n; ++i) {
    throw_if_stopped();
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
