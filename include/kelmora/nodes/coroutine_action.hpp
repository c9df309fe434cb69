#pragma once
// Actions written as C++20 coroutines: the tick is a coroutine that runs across ticks.
//
//   kelmora::ActionCoroutine count_to_three(kelmora::core::TreeNode& node) {
//     for (int i = 0; i < 3; ++i) co_await kelmora::running();  // RUNNING until the next tick
//     node.setOutput("done", std::string("yes"));
//     co_return kelmora::core::NodeStatus::SUCCESS;
//   }
//   engine.register_action_behavior("CountToThree", kelmora::coroutine_action(count_to_three),
//                                   {{{"name", "done"}, {"direction", "output"}}});
//
// The first tick calls the function; its body runs until the first `co_await running()` (the
// node is RUNNING, and the tick ends) or its `co_return` (the node's status). Each later tick
// resumes the body where it stopped. A halt of the node while it is RUNNING destroys the
// coroutine frame where it stopped: the destructors of its locals run, on the tree's thread, so
// clean-up belongs in destructors (RAII). An exception thrown by the body fails the tick as a
// tick function's does. The body must end with `co_return <status>` (SUCCESS, FAILURE or
// SKIPPED); flowing off its end is undefined behaviour, as for any coroutine that returns a value.
//
// The node and anything the function captured stay valid for the whole run (the node owns the
// run, and the run is destroyed before the function). Another thread that has work to report
// wakes the tree with node.emitWakeUpSignal() (or a signal it took with node.wakeUpSignal()).
//
// Not thread-safe: a coroutine action runs on the thread that ticks its tree.

#include <coroutine>
#include <exception>
#include <functional>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <optional>
#include <utility>

namespace kelmora {

// The return type of a coroutine action. Owns the coroutine frame: destroying it destroys the
// frame wherever the coroutine stands.
class ActionCoroutine {
 public:
  struct promise_type {
    std::optional<core::NodeStatus> result;
    std::exception_ptr error;

    ActionCoroutine get_return_object() noexcept {
      return ActionCoroutine(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    // The body starts at once, inside the tick that calls the function.
    std::suspend_never initial_suspend() noexcept { return {}; }
    // Kept at its end, so that the result can be read; the owner destroys it.
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(core::NodeStatus status) noexcept { result = status; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
  };

  ActionCoroutine(ActionCoroutine&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)) {}
  ActionCoroutine& operator=(ActionCoroutine&& other) noexcept {
    if (this != &other) {
      destroy();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  ActionCoroutine(const ActionCoroutine&) = delete;
  ActionCoroutine& operator=(const ActionCoroutine&) = delete;
  ~ActionCoroutine() { destroy(); }

  // Whether the body has ended (co_return or an exception).
  bool done() const noexcept { return !handle_ || handle_.done(); }
  // Runs the body on to its next suspension.
  void resume() const { handle_.resume(); }
  // The status the ended body returned; rethrows what it threw. NodeTickError when there is
  // neither (the frame was destroyed).
  core::NodeStatus result() const;

 private:
  explicit ActionCoroutine(std::coroutine_handle<promise_type> handle) noexcept : handle_(handle) {}
  void destroy() noexcept {
    if (handle_) std::exchange(handle_, nullptr).destroy();
  }

  std::coroutine_handle<promise_type> handle_;
};

// What `co_await running()` waits for: the node's next tick. The node is RUNNING meanwhile.
struct Running {
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  void await_resume() const noexcept {}
};
inline Running running() noexcept { return {}; }

// A coroutine action's function: called on the node's first tick of each run.
using CoroutineTick = std::function<ActionCoroutine(core::TreeNode&)>;

// A tick function that runs `tick` as a coroutine action (see the top of this file); register it
// like any tick function (register_action_behavior of the factory, SequentialEngine or
// ThreadEngine). ValueError for an empty function.
core::TickFunctor coroutine_action(CoroutineTick tick);

}  // namespace kelmora
