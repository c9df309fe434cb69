#include "py_errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#ifdef KELMORA_PYTHON_WITH_LLM
#include <kelmora/llm/errors.hpp>
#endif

namespace kelmora::python {
namespace {

// kelmora._native.ModelServerError (when the agent layer is built), one strong reference kept for
// the process's life.
PyObject* g_model_server_error = nullptr;

// Sets the Python error for `error` alone (no cause); false for an exception this translation
// leaves to pybind11. Call with the GIL held.
bool set_python_error(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const py::error_already_set&) {
    return false;
  } catch (const py::builtin_exception&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const PythonError& e) {
    if (!e.exception()) return false;
    const py::object& exception = e.exception()->object();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
  } catch (const core::TreeFileError& e) {
    raise_file_error(e);
#ifdef KELMORA_PYTHON_WITH_LLM
  } catch (const llm::ModelServerError& e) {
    if (g_model_server_error == nullptr) return false;
    py::object type = py::reinterpret_borrow<py::object>(g_model_server_error);
    py::object exception = type(decode_message(e.what()));
    exception.attr("server") = decode(e.server());
    py::list servers;
    for (const auto& server : e.servers()) servers.append(decode(server));
    exception.attr("servers") = servers;
    exception.attr("model") = decode(e.model());
    PyErr_SetObject(g_model_server_error, exception.ptr());
#endif
  } catch (const kelmora::TypeError& e) {
    set_error(PyExc_TypeError, e.what());
  } catch (const kelmora::ValueError& e) {
    set_error(PyExc_ValueError, e.what());
  } catch (const kelmora::AttributeError& e) {
    set_error(PyExc_AttributeError, e.what());
  } catch (const std::out_of_range& e) {
    set_error(PyExc_IndexError, e.what());
  } catch (const std::overflow_error& e) {
    set_error(PyExc_OverflowError, e.what());
  } catch (const std::domain_error& e) {
    set_error(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument& e) {
    set_error(PyExc_ValueError, e.what());
  } catch (const std::length_error& e) {
    set_error(PyExc_ValueError, e.what());
  } catch (const std::range_error& e) {
    set_error(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    set_error(PyExc_RuntimeError, e.what());
  } catch (...) {
    return false;
  }
  return true;
}

// Takes the Python error that is set, normalized, as an exception object (its traceback kept).
py::object fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return py::reinterpret_steal<py::object>(value);
}

// The innermost exception nested in `error` (through any number of std::nested_exception
// layers), or nullptr when nothing is nested.
std::exception_ptr innermost_cause(const std::exception_ptr& error) {
  std::exception_ptr cause;
  std::exception_ptr current = error;
  for (int depth = 0; depth < 64 && current; ++depth) {
    std::exception_ptr nested;
    try {
      std::rethrow_exception(current);
    } catch (const std::nested_exception& e) {
      nested = e.nested_ptr();
    } catch (...) {
    }
    if (!nested) break;
    cause = current = nested;
  }
  return cause;
}

void translate_errors(std::exception_ptr error) {
  if (!error) return;
  // The cause first: building it may run Python code, which needs no error to be set.
  py::object cause;
  if (std::exception_ptr inner = innermost_cause(error)) {
    if (set_python_error(inner)) cause = fetch_error();
  }
  if (!set_python_error(error)) std::rethrow_exception(error);  // pybind11's own translation
  if (!cause) return;
  py::object raised = fetch_error();
  PyException_SetCause(raised.ptr(), cause.release().ptr());  // steals the reference
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
}

}  // namespace

void set_translated_error(const std::exception_ptr& error) { translate_errors(error); }

void install_error_translation(py::module_& m) {
  if (py::hasattr(m, "ModelServerError")) {
    g_model_server_error = py::object(m.attr("ModelServerError")).release().ptr();
  }
  py::register_exception_translator(&translate_errors);
}

}  // namespace kelmora::python
