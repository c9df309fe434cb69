#pragma once
// Ctrl-C for a Python main thread that waits in C++ without the GIL (a tick loop, a command
// waiting for a tree's worker). Python runs signal handlers only on the main thread, and only
// when that thread runs Python code; a thread waiting in C++ would see Ctrl-C only after its wait
// ends. An InterruptWatch is the check such a wait calls every few milliseconds instead: it takes
// the GIL, runs the pending signal handlers, and when one raised (KeyboardInterrupt, or whatever a
// handler of the application raises), keeps the exception and says so; the wait ends (its tick
// loop is cancelled, the tree halted), and the caller raises the exception once it holds the GIL
// again.

#include <pybind11/pybind11.h>

#include <chrono>
#include <functional>
#include <optional>

namespace kelmora::python {

namespace py = pybind11;

class InterruptWatch {
 public:
  // How often a wait looks for Ctrl-C.
  static constexpr std::chrono::milliseconds kEvery{20};

  // Watches only when made on the main thread of the main interpreter (other threads never run
  // signal handlers). Make it with the GIL held.
  InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  bool active() const noexcept { return active_; }
  // The check a wait calls, without the GIL: true once a signal handler raised. Not
  // thread-safe: called by the thread that made the watch.
  bool check();
  // Whether a handler raised.
  bool raised() const noexcept { return raised_.has_value(); }
  // Raises what the handler raised. Call with the GIL held, once raised().
  [[noreturn]] void raise();
  // Raises what a handler raised, during the wait or now: a Ctrl-C that a Python tick function
  // run on this thread turned into its own failure is re-armed (see keep_interrupt), and is
  // raised here instead of that failure. Call with the GIL held; returns when there is none.
  void raise_if_interrupted();

 private:
  bool active_ = false;
  std::optional<py::error_already_set> raised_;
};

}  // namespace kelmora::python
