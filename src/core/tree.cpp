#include <fmt/format.h>

#include <exception>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/log.hpp>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace kelmora::core {

namespace {

// Halts `root` after something else went wrong, or while its tree goes away, when no caller is
// there to take a failure of the halt: the failure is logged instead. Never throws.
void halt_quietly(TreeNode& root, std::string_view when) noexcept {
  try {
    root.haltNode();
  } catch (const std::exception& e) {
    log::error(fmt::format("halting the tree {}: {}", when, e.what()));
  } catch (...) {
    log::error(fmt::format("halting the tree {}: unknown error", when));
  }
}

}  // namespace

struct Tree::Impl {
  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  // A tree that goes away (destroyed, or replaced by move-assignment) halts its running nodes
  // first, on the thread that drops it, so that what they started is stopped (a stateful
  // action's onHalted runs).
  ~Impl() {
    if (root) halt_quietly(*root, "as it is destroyed");
  }

  std::unique_ptr<TreeNode> root;
  std::shared_ptr<Blackboard> blackboard = Blackboard::create();
  // Also holds the tree's stop token, so that nodes can check it.
  std::shared_ptr<TreeTimers> timers = std::make_shared<TreeTimers>();
  std::string main_tree_id;
  TransitionLog log;
  // Whether a tick of this tree is in progress (see Tree::refuseWhileTicking).
  bool ticking = false;
};

Tree::Tree() : impl_(std::make_unique<Impl>()) {}

Tree::Tree(std::unique_ptr<TreeNode> root, std::shared_ptr<Blackboard> blackboard,
           std::shared_ptr<TreeTimers> timers, std::string main_tree_id)
    : impl_(std::make_unique<Impl>()) {
  if (!root || !blackboard || !timers) {
    throw std::invalid_argument("a tree needs a root node, a blackboard and timers");
  }
  impl_->root = std::move(root);
  impl_->blackboard = std::move(blackboard);
  impl_->timers = std::move(timers);
  impl_->main_tree_id = std::move(main_tree_id);
  std::uint32_t uid = 0;
  TransitionLog* log = &impl_->log;
  visit_depth_first(*impl_->root, [&uid, log](TreeNode& node, std::size_t) {
    node.log_ = log;
    node.uid_ = uid++;
  });
}
Tree::~Tree() = default;
Tree::Tree(Tree&&) noexcept = default;
Tree& Tree::operator=(Tree&&) noexcept = default;

namespace {

// Marks a tick of the tree as in progress for its lifetime, however the tick ends.
class TickingScope {
 public:
  explicit TickingScope(bool& ticking) noexcept : ticking_(ticking) { ticking_ = true; }
  ~TickingScope() { ticking_ = false; }
  TickingScope(const TickingScope&) = delete;
  TickingScope& operator=(const TickingScope&) = delete;

 private:
  bool& ticking_;
};

}  // namespace

bool Tree::isTicking() const noexcept { return impl_ && impl_->ticking; }

void Tree::refuseWhileTicking(std::string_view operation) const {
  if (!isTicking()) return;
  throw RuntimeError(
      fmt::format("{} was called from inside a tick of the tree it would change; a tick may read "
                  "the tree's status and read and write its blackboard, but not tick, reset or "
                  "rebuild its own tree",
                  operation));
}

NodeStatus Tree::tickOnce() {
  refuseWhileTicking("Tree::tickOnce");
  if (!impl_ || !impl_->root) throw std::logic_error("the tree has no root node");
  TickingScope ticking(impl_->ticking);
  TreeTimers& timers = *impl_->timers;
  timers.clear();
  if (!impl_->log.recording()) impl_->log.set_step_time(TransitionLog::Clock::now());
  NodeStatus status;
  try {
    status = impl_->root->executeTick();
  } catch (...) {
    haltAfterFailedTick();
    throw;
  }
  // An `_onHalted` script that failed during the tick fails it, once everything it halted is.
  if (std::exception_ptr failure = timers.take_halt_failure()) {
    haltAfterFailedTick();
    std::rethrow_exception(failure);
  }
  return status;
}

void Tree::haltAfterFailedTick() {
  // A tick that threw left nodes part-way: halt them, as a parent halts a running child. The
  // tick's own error is the one that goes on: a failure of the halt is logged, and a halt script
  // that fails meanwhile is dropped.
  impl_->timers->clear();
  halt_quietly(*impl_->root, "after a failed tick");
  (void)impl_->timers->take_halt_failure();
}

void Tree::haltTree() {
  refuseWhileTicking("Tree::haltTree");
  if (!impl_) return;
  impl_->timers->clear();
  impl_->log.set_step_time(TransitionLog::Clock::now());
  if (!impl_->root) return;
  impl_->root->resetNode();
  if (std::exception_ptr failure = impl_->timers->take_halt_failure()) {
    std::rethrow_exception(failure);
  }
}

void Tree::halt() {
  refuseWhileTicking("Tree::halt");
  if (!impl_) return;
  impl_->timers->clear();
  if (impl_->root) impl_->root->haltNode();
}

TreeNode* Tree::rootNode() const noexcept { return impl_ ? impl_->root.get() : nullptr; }

const std::shared_ptr<Blackboard>& Tree::rootBlackboard() const noexcept {
  static const std::shared_ptr<Blackboard> kNone;
  return impl_ ? impl_->blackboard : kNone;
}

std::vector<TreeNode*> Tree::nodes() const {
  std::vector<TreeNode*> all;
  if (!impl_ || !impl_->root) return all;
  visit_depth_first(*impl_->root, [&all](TreeNode& node, std::size_t) { all.push_back(&node); });
  return all;
}

TransitionLog& Tree::transitionLog() noexcept { return impl_->log; }
const TransitionLog& Tree::transitionLog() const noexcept { return impl_->log; }

const std::string& Tree::mainTreeId() const noexcept {
  static const std::string kNone;
  return impl_ ? impl_->main_tree_id : kNone;
}

std::optional<TreeTimers::Clock::time_point> Tree::nextWakeup() const noexcept {
  return impl_ ? impl_->timers->next_wakeup() : std::nullopt;
}

void Tree::setStopToken(std::stop_token token) {
  if (impl_) impl_->timers->set_stop_token(std::move(token));
}

const std::stop_token& Tree::stopToken() const noexcept {
  static const std::stop_token kNone;
  return impl_ ? impl_->timers->stop_token() : kNone;
}

void Tree::setWakeUpSignal(std::shared_ptr<WakeUpSignal> signal) {
  if (impl_) impl_->timers->set_wake_up_signal(std::move(signal));
}

std::shared_ptr<WakeUpSignal> Tree::wakeUpSignal() const {
  return impl_ ? impl_->timers->wake_up_signal() : nullptr;
}

void Tree::emitWakeUpSignal() const noexcept {
  if (impl_) impl_->timers->wake_up_signal()->emit();
}

}  // namespace kelmora::core
