#pragma once
// Values crossing between Python and kelmora's std::any world.
//
// Python objects travel through blackboards, commands and results inside a PyValue held by a
// std::shared_ptr, never as a bare py::object: std::any copies and destructions happen on worker
// threads that do not hold the GIL, and only the shared_ptr's atomic count is touched there. The
// last owner takes the GIL to drop the object.

#include <pybind11/pybind11.h>

#include <any>
#include <chrono>
#include <functional>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelmora::python {

namespace py = pybind11;

// Whether this thread may take the GIL and run Python code: the interpreter is up and not closing
// (see close_python_gate) nor being finalized, or this thread already holds the GIL. A thread that
// takes the GIL while the interpreter finalizes is ended on the spot by CPython (a forced unwind
// that C++ frames cannot survive), so every path from C++ into Python on a thread Python may
// abandon goes through AcquiredGil, which asks this under the gate. Thread-safe.
bool python_usable() noexcept;

// Closes the way into Python for threads that do not hold the GIL: from now on AcquiredGil takes
// nothing and ReleasedGil parks every thread but this one. Waits (GIL released, at most a few
// seconds) until the threads inside an AcquiredGil have left it: once finalization begins, a
// thread running Python code for C++ would be ended in the middle of C++ frames. Called once by
// an exit hook that runs after the engines have been closed and before the interpreter
// finalizes. Not thread-safe: call it with the GIL.
void close_python_gate();

// Takes the GIL for its lifetime on any thread, like py::gil_scoped_acquire, unless Python cannot
// be used any more (python_usable() false): then it takes nothing and tests false, and the
// caller falls back to what it does without Python. A thread without a Python thread state (a
// tree's worker) gets one on its first use, kept until the thread ends, so that the GIL can be
// taken once per tick without making and dropping a thread state each time. Thread-safe.
class AcquiredGil {
 public:
  AcquiredGil() noexcept;
  ~AcquiredGil();
  AcquiredGil(const AcquiredGil&) = delete;
  AcquiredGil& operator=(const AcquiredGil&) = delete;

  // Whether the GIL is held.
  explicit operator bool() const noexcept { return held_; }

 private:
  PyGILState_STATE state_{};
  bool held_ = false;
  bool counted_ = false;  // counted among the threads inside (see close_python_gate)
};

// Releases the GIL for its lifetime, like py::gil_scoped_release, with one difference: if the
// gate is closed or the interpreter has begun finalizing when the GIL is to be taken back, a
// thread other than the one closing parks for good instead (CPython would end the thread from
// inside the destructor, which C++ turns into std::terminate). Only a daemon thread that was
// waiting in kelmora at exit can get there.
// Not thread-safe: make and drop it on one thread that holds the GIL.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedGil();
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

// One Python object owned from C++, shared as std::shared_ptr<const PyValue>, which any thread
// may copy and drop; the destructor takes the GIL (or, while the interpreter finalizes without
// this thread holding the GIL, leaks the reference rather than touch Python). Thread-safe.
class PyValue {
 public:
  explicit PyValue(py::object object) : object_(std::move(object)) {}
  ~PyValue();
  PyValue(const PyValue&) = delete;
  PyValue& operator=(const PyValue&) = delete;

  // The object. Not thread-safe: use it only while holding the GIL.
  const py::object& object() const noexcept { return object_; }

 private:
  py::object object_;
};

using PyValueRef = std::shared_ptr<const PyValue>;

// type(object).__name__. Not thread-safe: call with the GIL held.
std::string type_name(py::handle object);

// Text between C++ (std::string, meant to be UTF-8) and Python (str). Every C++ text that becomes
// a Python str goes through one of the two pairs below; none of them loses text.
//
// Values (blackboard entries, ports, results, names): bytes that are not UTF-8 round-trip through
// surrogate escapes, as os.fsdecode / os.fsencode do, so a file name read back is the same name.
// encode raises UnicodeEncodeError for a str with a surrogate that is no such escape. Not
// thread-safe: call with the GIL held.
py::str decode(std::string_view text);
std::string encode(py::handle text);
// Messages (exception texts, log lines), meant to be read: bytes that are not UTF-8 are shown
// escaped ("caf\xe9.xml"), so the str can always be printed and logged. encode_message keeps
// surrogate escapes as the bytes they stand for and writes any other lone surrogate as "\ud800";
// neither function throws a Python error for a str. Not thread-safe: call with the GIL held.
py::str decode_message(std::string_view text);
std::string encode_message(py::handle text);

// A file system path (str, bytes or os.PathLike) as the bytes the operating system sees, like
// os.fsencode. TypeError for anything else. Not thread-safe: call with the GIL held.
std::string fs_path(py::handle path);

// Sets the Python error `type` with `message` decoded as decode_message does. Not thread-safe:
// call with the GIL held.
void set_error(PyObject* type, std::string_view message);

// Sets the Python error that reading the tree file from Python would raise: bytes that are not
// UTF-8 as UnicodeDecodeError (`object` the offending byte, `reason` the message naming the path
// and the offset), anything else as the OSError subclass its errno selects (FileNotFoundError,
// IsADirectoryError, ...) with errno, the message as strerror and the path as filename. Not
// thread-safe: call with the GIL held.
void raise_file_error(const core::TreeFileError& error);

// Whether this thread is the interpreter's main thread, the only one that runs signal handlers
// (and so the only one where Ctrl-C turns into a KeyboardInterrupt). Not thread-safe: call with
// the GIL held.
bool on_main_thread();

// For code that has to swallow the Python error `e` (it reports the error another way): when
// `e` is a KeyboardInterrupt that reached the main thread, Ctrl-C is raised again as soon as
// control is back in Python, so it is not lost. A KeyboardInterrupt raised on any other thread
// is left to the error path like any exception. Call it after the last Python call of that path:
// a pending Ctrl-C is consumed by any Python call that checks for signals. Not thread-safe: call
// with the GIL held.
void keep_interrupt(const py::error_already_set& e);

// Wraps `object` for storage in C++. Not thread-safe: call with the GIL held.
PyValueRef hold(py::object object);

// A C++ value that has no Python form of its own, handed to Python as an opaque object
// (`kelmora._native.CppValue`) so that it can be stored back unchanged.
struct CppValue {
  std::any value;
};

// Teaching for a family of bound C++ types (the agent layer registers Agent, Ollama and
// ResponseStream). Each member returns std::nullopt for values it does not know.
struct ValueConverter {
  std::function<std::optional<py::object>(const std::any&)> to_python;
  std::function<std::optional<std::any>(py::handle)> from_python;
  std::function<std::optional<std::string>(const std::any&)> kind_name;
};
// Not thread-safe: called once per family while the extension initializes.
void add_value_converter(ValueConverter converter);

// Python -> C++ for values of any kind (blackboard values, outputs of tick functions): None as
// an empty std::any, NodeStatus and bound C++ objects as their C++ values, everything else as a
// PyValue, so that reading it back gives the very same object. Not thread-safe: call with the GIL
// held.
std::any to_any(py::handle object);

// Python -> C++ for command parameters: like to_any, except that str, int, float and bool become
// std::string, std::int64_t, double and bool, the forms the worker's engine reads `n` and `key`
// in. Not thread-safe: call with the GIL held.
std::any to_plain_any(py::handle object);

// C++ -> Python: none as None, NodeStatus as the kelmora.core.NodeStatus member itself,
// numbers, text, lists and string-keyed maps recursively, a PyValue as its object, bound C++
// objects as their Python wrappers, anything else as a CppValue. Not thread-safe: call with the GIL
// held.
py::object from_any(const std::any& value);
py::object from_any_map(const core::AnyMap& map);

// A command's parameter map from a Python dict with str keys; "value" is converted with to_any,
// every other entry with to_plain_any. Throws TypeError naming `argument` for a key that is not a
// str. Not thread-safe: call with the GIL held.
core::AnyMap to_params(py::handle dict, const char* argument);

// A ports list from a Python list of dicts mapping str to str. Throws TypeError naming
// `argument` for anything else. Not thread-safe: call with the GIL held.
core::PortsList to_ports_list(py::handle list, const char* argument);

// The NodeStatus a Python tick function returned; TypeError "Expected NodeStatus, got K"
// otherwise. Not thread-safe: call with the GIL held.
// A period in seconds (an int or a float, not a bool) as nanoseconds: TypeError for anything
// else, ValueError for a negative period or NaN; longer than 10^9 s counts as 10^9 s.
// Call with the GIL held.
std::chrono::nanoseconds to_period(py::handle seconds);
core::NodeStatus to_status(py::handle object);
// The kelmora.core.NodeStatus member for `status` (the same object every time). Not thread-safe:
// call with the GIL held.
py::object status_object(core::NodeStatus status);

// The text of the Python error `e` for a C++ message: str(exception) as encode_message gives it,
// or the exception's type name ("AssertionError") when that text is blank or cannot be made.
// Not thread-safe: call with the GIL held.
std::string error_text(const py::error_already_set& e);

// Registers CppValue and teaches kelmora's any helpers (text, string, kind name) about PyValue.
void bind_values(py::module_& m);
// Caches the NodeStatus members once the enum is bound. Not thread-safe: call with the GIL held.
void cache_status_members(py::handle node_status_type);

}  // namespace kelmora::python
