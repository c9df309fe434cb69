// kelmora._native: the C++ library as the Python package `kelmora` uses it.
//
// Importing it binds the types, routes kelmora's log lines to loguru, teaches kelmora's value
// helpers about Python objects and installs the translation of C++ exceptions into Python ones
// (py_errors.hpp). It makes no engine, starts no thread and logs nothing.

#include "py_core.hpp"
#include "py_engine.hpp"
#include "py_errors.hpp"
#include "py_logging.hpp"
#include "py_nodes.hpp"
#include "py_values.hpp"

#ifdef KELMORA_PYTHON_WITH_LLM
#include "py_llm.hpp"
#endif

#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_native, m) {
  m.doc() = "kelmora's C++ behaviour-tree core, thread engine and agent layer.";
  kelmora::python::bind_values(m);
  kelmora::python::bind_core(m);
  kelmora::python::bind_nodes(m);
  kelmora::python::bind_engine(m);
#ifdef KELMORA_PYTHON_WITH_LLM
  kelmora::python::bind_llm(m);
  m.attr("HAS_LLM") = true;
#else
  m.attr("HAS_LLM") = false;
#endif
  // Last, so that it is tried before the translators the bindings above registered.
  kelmora::python::install_error_translation(m);
  kelmora::python::install_log_sink();
  // Registered at import, before any engine exists, so that it runs after the exit hook that
  // closes the engines (exit hooks run last-registered first) and before finalization.
  py::module_::import("atexit").attr("register")(
      py::cpp_function([] { kelmora::python::close_python_gate(); }));
}
