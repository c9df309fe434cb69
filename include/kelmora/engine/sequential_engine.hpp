#pragma once
// SequentialEngine: a single-threaded engine holding one tree.
//
// Not thread-safe: one thread makes it, registers actions, builds its tree and ticks it. The
// thread engine gives every tree a SequentialEngine of its own on the tree's worker thread. The
// exceptions: another thread may request a stop on the stop token's std::stop_source (or on a
// tick loop's cancel token) to end tick loops and timer waits early, and may emit the wake-up
// signal (emit_wake_up_signal) to make a waiting tick loop tick at once.

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <kelmora/core/any.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/node_class.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/core/tree_definitions.hpp>
#include <kelmora/core/tree_source.hpp>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelmora::engine {

// The tick period tick loops use unless told otherwise.
inline constexpr std::chrono::milliseconds kDefaultTickPeriod{10};

// What may end one tick loop early besides the engine's stop token.
struct LoopControl {
  // A stop requested on it ends the loop: the tree is halted and the loop throws
  // TreeStoppedError "tick loop was cancelled". Unlike the engine's stop token it concerns this
  // one loop: later loops run as usual.
  std::stop_token cancel;
  // When set, called on the ticking thread between ticks and at least every `poll_every` while
  // the loop waits; returning true ends the loop as `cancel` does. For a caller that must look
  // at something of its own while it waits (a Python main thread, for Ctrl-C).
  std::function<bool()> interrupted;
  std::chrono::nanoseconds poll_every = std::chrono::milliseconds(20);
};

class SequentialEngine {
 public:
  SequentialEngine();
  // Drops the tree, which halts its RUNNING nodes first (on this thread; what a halt throws is
  // logged, not passed on). Must not run inside a tick of the engine's tree.
  ~SequentialEngine();
  // Moving takes the tree, its state and the signals over; an engine moved into drops (and so
  // halts) its own tree first, as the destructor does.
  SequentialEngine(SequentialEngine&&) noexcept;
  SequentialEngine& operator=(SequentialEngine&&) noexcept;

  // Registers an action with this engine's factory (a later registration of an id replaces the
  // earlier one). Throws TreeBuildError for a malformed port description.
  void register_action_behavior(const std::string& action_id, core::TickFunctor tick_functor,
                                core::PortsList ports_list);
  // Registers a condition from a tick function, and a node class, with this engine's factory
  // (see BehaviorTreeFactory::register_condition_behavior and register_node_class).
  void register_condition_behavior(const std::string& condition_id, core::TickFunctor tick_functor,
                                   core::PortsList ports_list);
  void register_node_class(const core::NodeClass& node_class,
                           std::optional<std::string> node_id = std::nullopt);
  template <class T>
  void register_node_class(std::optional<std::string> node_id = std::nullopt) {
    register_node_class(core::node_class<T>(), std::move(node_id));
  }

  // Enum names for scripts, and BehaviorTree definitions for SubTrees and create_tree_by_name:
  // BehaviorTreeFactory's operations of the same names on this engine's factory. They affect
  // trees built afterwards.
  void register_scripting_enum(std::string_view name, std::int64_t value);
  template <class E>
  requires std::is_enum_v<E>
  void register_scripting_enum(std::initializer_list<std::pair<std::string_view, E>> values) {
    factory_.register_scripting_enum(values);
  }
  void register_scripting_enums(const std::vector<std::pair<std::string, std::int64_t>>& values);
  std::vector<std::string> register_tree_text(const std::string& xml_text);
  std::vector<std::string> register_tree_file(const std::string& path);
  std::vector<std::string> register_tree_folder(const std::string& path);
  // Definitions loaded before (TreeDefinitions::load, load_folder), registered as one batch.
  std::vector<std::string> register_trees(
      const std::vector<std::shared_ptr<const core::TreeDefinitions>>& batch);

  // Builds the tree from its XML (see BehaviorTreeFactory::create_tree), replacing any tree held
  // before (the old tree is halted; the new one starts with a fresh blackboard and zero ticks).
  // The engine's destruction halts its tree too (see Tree::~Tree), on the destroying thread.
  // Throws TreeBuildError, or TreeFileError for a file that cannot be read; on failure the
  // engine keeps its previous tree and state.
  //
  // Building, ticking and reset_tree refuse to run from inside a tick of this engine's tree:
  // they throw kelmora::RuntimeError naming the operation and change nothing (see
  // Tree::refuseWhileTicking). Registration, the status map and the blackboard operations may be
  // used from inside a tick.
  void create_tree(const core::TreeSource& source);
  void create_tree_from_text(const std::string& xml_text);
  void create_tree_from_file(const std::string& path);
  // Builds the registered BehaviorTree `tree_name` (see BehaviorTreeFactory::create_tree_by_name),
  // replacing the held tree as create_tree does.
  void create_tree_by_name(const std::string& tree_name);

  // Every operation below throws core::NoTreeError when no tree has been built.
  // A tick function that throws makes the tick throw NodeTickError; the tree is then halted as a
  // parent halts a running child (see Tree::tickOnce): every node IDLE, while a
  // SequenceWithMemory keeps its position and a RunOnce that ran stays done.
  core::NodeStatus tick_once();
  // Ticks until the tree returns FAILURE (resp. SUCCESS); returns the number of ticks run.
  // After a RUNNING tick it waits, without using the CPU, until whichever comes first: a node or
  // the application emits a wake-up (a wake-up emitted during the tick counts: it ticks again at
  // once), the earliest timer of a time-based node is due (when the tick announced one), else the
  // tick period passes, or a stop is requested. A tick that completes with the other status ticks
  // again at once.
  // Throws TreeStoppedError "tree was stopped while ticking" when the stop token is triggered
  // before the loop ends (checked before every tick, during waits, and by Repeat and
  // RetryUntilSuccessful between their cycles inside a tick), and "tick loop was cancelled" when
  // `control` ends it; either way the tree is halted first (as a tick that threw halts it), so
  // every RUNNING node has had its halt when the error is thrown.
  std::int64_t tick_until_failure(const LoopControl& control = {});
  std::int64_t tick_until_success(const LoopControl& control = {});
  // Ticks n times back to back (no waiting for timers or wake-ups); one status per tick. n <= 0
  // ticks nothing and returns an empty list. A stop or `control` ends it as they end
  // tick_until_failure.
  std::vector<core::NodeStatus> tick_n_times(std::int64_t n, const LoopControl& control = {});

  // The longest wait between two RUNNING ticks of a tick loop (default kDefaultTickPeriod).
  // Zero: no wait, the loop ticks again at once. Takes effect at the next wait. Throws ValueError
  // for a negative period.
  void set_tick_period(std::chrono::nanoseconds period);
  std::chrono::nanoseconds tick_period() const noexcept { return tick_period_; }

  // The application's wake-up: a tick loop of this engine waiting between RUNNING ticks ticks at
  // once (one emitted while no loop waits makes the next wait end at once). Thread-safe.
  void emit_wake_up_signal() const noexcept { wake_up_->emit(); }
  // The signal every tree of this engine is given (see WakeUpSignal); another thread may keep it
  // and emit it. Thread-safe.
  const std::shared_ptr<core::WakeUpSignal>& wake_up_signal() const noexcept { return wake_up_; }
  // Replaces the signal (the thread engine shares one between a tree's worker and its callers).
  // Call it before the first tree is built; a null signal is ignored.
  void set_wake_up_signal(std::shared_ptr<core::WakeUpSignal> signal);

  // Halts every running node as a parent halts a running child (see Tree::halt): every node
  // IDLE; the blackboard, the tick count and what nodes keep across halts are kept. Unlike
  // reset_tree it does not make a RunOnce run again.
  void halt_tree();

  // The tree's state: see the status map format in docs/core.md.
  core::AnyMap get_tree_status() const;

  // The root blackboard's entry; an empty std::any (none) when it was never written.
  std::any get_blackboard_data(const std::string& key) const;
  void set_blackboard_data(const std::string& key, std::any value);
  // Every entry of the root blackboard.
  core::AnyMap get_all_blackboard_data() const;

  // Halts running nodes and sets every node to IDLE; the blackboard is kept; counters restart.
  // An `_onHalted` script that fails is thrown (NodeTickError) once the reset is complete.
  void reset_tree();

  // Lets another thread end tick loops and timer waits early (see Tree::setStopToken).
  void set_stop_token(std::stop_token token);

  // Called with the tree before (kBefore) and after (kAfter) every tick step: each tick of
  // tick_once and of the tick loops (kAfter also for one that threw) and reset_tree; and after a
  // tree is built (kAfter only). The thread engine follows its observers before a step and hands
  // them the step's transitions after it. An exception from the hook passes on to the
  // operation's caller. Empty: nothing is called.
  enum class StepPoint { kBefore, kAfter };
  using StepHook = std::function<void(core::Tree&, StepPoint)>;
  void set_step_hook(StepHook hook) { step_hook_ = std::move(hook); }

  core::BehaviorTreeFactory& factory() noexcept { return factory_; }
  bool has_tree() const noexcept { return tree_.has_value(); }
  // The tree held, for reading (its statuses, counters, blackboard, a picture of it); throws
  // core::NoTreeError when none has been built.
  const core::Tree& held_tree() const { return tree(); }

 private:
  core::Tree& tree();
  const core::Tree& tree() const;
  void install(core::Tree tree);
  // Throws RuntimeError naming `operation` while a tick of the held tree is in progress.
  void refuse_while_ticking(std::string_view operation) const;
  class LoopGuard;
  // Halts the tree when any node of it is not IDLE; the status becomes IDLE.
  void halt_running_tree();
  std::int64_t tick_until(core::NodeStatus target, const LoopControl& control);

  core::BehaviorTreeFactory factory_;
  std::optional<core::Tree> tree_;
  std::stop_token stop_token_;
  StepHook step_hook_;
  std::shared_ptr<core::WakeUpSignal> wake_up_ = std::make_shared<core::WakeUpSignal>();
  std::chrono::nanoseconds tick_period_ = kDefaultTickPeriod;
  std::int64_t tick_count_ = 0;
  core::NodeStatus last_status_ = core::NodeStatus::IDLE;
};

}  // namespace kelmora::engine

namespace kelmora {
using engine::SequentialEngine;
}
