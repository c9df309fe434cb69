#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/coroutine_action.hpp>
#include <memory>

namespace kelmora {

using core::NodeStatus;

NodeStatus ActionCoroutine::result() const {
  if (!handle_) throw core::NodeTickError("the coroutine action has no frame");
  const promise_type& promise = handle_.promise();
  if (promise.error) std::rethrow_exception(promise.error);
  if (!promise.result) throw core::NodeTickError("the coroutine action ended without a status");
  return *promise.result;
}

namespace {

// A coroutine action's run: resumes the body on every tick; a halt destroys the frame.
class CoroutineRun final : public nodes::ActionRun {
 public:
  explicit CoroutineRun(ActionCoroutine coroutine) : coroutine_(std::move(coroutine)) {}

  NodeStatus resume(core::TreeNode&) override {
    if (!coroutine_.done()) coroutine_.resume();
    return coroutine_.done() ? coroutine_.result() : NodeStatus::RUNNING;
  }
  void halt(core::TreeNode&) override {
    const ActionCoroutine ended = std::move(coroutine_);  // destroys the frame where it stands
  }

 private:
  ActionCoroutine coroutine_;
};

}  // namespace

core::TickFunctor coroutine_action(CoroutineTick tick) {
  if (!tick) throw ValueError("coroutine_action needs a function");
  auto shared = std::make_shared<const CoroutineTick>(std::move(tick));
  return [shared](core::TreeNode& node) -> NodeStatus {
    ActionCoroutine coroutine = (*shared)(node);
    if (coroutine.done()) return coroutine.result();
    nodes::continue_with(node, std::make_unique<CoroutineRun>(std::move(coroutine)));
    return NodeStatus::RUNNING;
  };
}

}  // namespace kelmora
