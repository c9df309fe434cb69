#pragma once
// The behaviour-tree core as Python sees it: NodeStatus, TreeNode, BehaviorTreeFactory, Tree,
// SequentialEngine, and tick functions written in Python.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <kelmora/core/tree_node.hpp>
#include <string>
#include <utility>
#include <vector>
#include <kelmora/core/wake_up_signal.hpp>
#include <memory>

namespace kelmora::python {

namespace py = pybind11;

// A C++ tick function offered to Python (`kelmora._native.CppTick`): registered with an engine it
// is used as it is, so its action ticks without the GIL; called from Python it ticks the node.
struct CppTick {
  core::TickFunctor tick;
  std::string name;
};

// kelmora.core.WakeUpSignal: a tree's wake-up signal, kept by Python code (a thread that reports
// when its work is done). Thread-safe.
struct WakeUpSignalHandle {
  std::shared_ptr<core::WakeUpSignal> signal;
};

// A tick function from a Python object. Calling it takes the GIL, hands the node to the object as
// a kelmora.core.TreeNode that is valid for that call only, and turns a Python exception into a
// PythonError (a kelmora::RuntimeError) carrying str(exception), or the exception's type name
// when that text is empty, and the exception object itself (a KeyboardInterrupt on the main
// thread is also re-armed, so Ctrl-C is not lost; on any other thread it fails the tick like any
// exception). A CppTick gives its C++ function unchanged.
// Make it with the GIL held; the functor may then be copied and called on any thread.
// Thread-safe.
core::TickFunctor to_tick_functor(py::object object);

// The arguments of register_scripting_enum: (name, value) with a str and an int, or an enum
// class alone (enum.Enum with int values: every member, aliases included). Anything else raises
// TypeError naming what was given. Not thread-safe: call with the GIL held.
std::vector<std::pair<std::string, std::int64_t>> scripting_enum_values(py::handle name_or_enum,
                                                                        py::handle value);

// Throws the Python error `e`, raised by Python code that C++ called (a tick function, a method of
// a node class), as a PythonError: its text (error_text), the exception object itself with its
// traceback, and Ctrl-C re-armed when it is a KeyboardInterrupt on the main thread. Not
// thread-safe: call with the GIL held.
[[noreturn]] void throw_python_error(py::error_already_set& e);

// Binds NodeStatus, TreeNode, CppTick, BehaviorTreeFactory, Tree and SequentialEngine.
void bind_core(py::module_& m);

}  // namespace kelmora::python
