// kelmora._native: the C++ library as the Python package `kelmora` uses it.
//
// Importing it binds the types, routes kelmora's log lines to loguru and teaches kelmora's value
// helpers about Python objects. It makes no engine, starts no thread and logs nothing.

#include "py_core.hpp"
#include "py_engine.hpp"
#include "py_logging.hpp"
#include "py_values.hpp"

#ifdef KELMORA_PYTHON_WITH_LLM
#include "py_llm.hpp"
#endif

#include <pybind11/pybind11.h>

#include <exception>
#include <kelmora/core/errors.hpp>
#include <stdexcept>

namespace py = pybind11;

namespace {

// kelmora's error types as Python's ValueError, TypeError and AttributeError; kelmora's
// RuntimeError and the core's errors (std::runtime_error) become RuntimeError through pybind11's
// own translation. Needed because kelmora::TypeError derives from std::invalid_argument, which
// pybind11 alone would raise as ValueError.
void translate_errors(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const kelmora::TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const kelmora::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const kelmora::AttributeError& e) {
    PyErr_SetString(PyExc_AttributeError, e.what());
  }  // anything else goes on to pybind11's own translation (std::exception -> RuntimeError)
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "kelmora's C++ behaviour-tree core, thread engine and agent layer.";
  py::register_exception_translator(&translate_errors);
  kelmora::python::bind_values(m);
  kelmora::python::bind_core(m);
  kelmora::python::bind_engine(m);
#ifdef KELMORA_PYTHON_WITH_LLM
  kelmora::python::bind_llm(m);
  m.attr("HAS_LLM") = true;
#else
  m.attr("HAS_LLM") = false;
#endif
  kelmora::python::install_log_sink();
}
