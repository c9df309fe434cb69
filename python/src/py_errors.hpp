#pragma once
// Errors between Python and C++: a Python exception carried through C++ (PythonError), and the
// translation of kelmora's C++ exceptions into Python ones, each with the exception that caused it
// as its __cause__.

#include <pybind11/pybind11.h>

#include <exception>
#include <kelmora/core/errors.hpp>
#include <string>
#include <utility>

#include "py_values.hpp"

namespace kelmora::python {

// A Python exception raised by Python code that C++ called (a tick function), on its way through
// C++: a kelmora::RuntimeError whose message is the exception's text (error_text), holding the
// exception object itself. Translated back into Python it is that very object again, as the error
// raised or as the cause of one. Thread-safe to copy and destroy (see PyValue).
class PythonError : public kelmora::RuntimeError {
 public:
  PythonError(const std::string& message, PyValueRef exception)
      : RuntimeError(message), exception_(std::move(exception)) {}
  const PyValueRef& exception() const noexcept { return exception_; }

 private:
  PyValueRef exception_;
};

// Registers the translation of C++ exceptions into Python ones, messages decoded so that bytes
// that are not UTF-8 show escaped: kelmora's TypeError, ValueError and AttributeError as
// Python's; TreeFileError as the OSError or UnicodeDecodeError reading the file from Python
// raises; a ModelServerError as kelmora.llm.ModelServerError with its `server`, `servers` and
// `model`; a PythonError as its own exception object; the standard exceptions as pybind11 maps
// them; anything else derived from std::exception as RuntimeError. An exception with nested
// causes (std::nested_exception) gets the innermost one, translated the same way, as its
// __cause__: what a tick function raised, past the engine's and the core's wrappers. Python
// errors, pybind11's own exceptions and std::bad_alloc go on to pybind11's translation.
// Call it last while the extension initializes, after the agent layer is bound: the translator
// registered last is tried first. Not thread-safe.
void install_error_translation(py::module_& m);

// Sets the Python error the translation above gives for `error` (with its innermost cause as
// __cause__), so that C++ code called from Python can raise it, look at the raised object, and
// then throw py::error_already_set. Rethrows `error` itself when the translation leaves it to
// pybind11 (Python errors, pybind11's own exceptions, std::bad_alloc). Not thread-safe: call
// with the GIL held.
void set_translated_error(const std::exception_ptr& error);

}  // namespace kelmora::python
