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
#include <new>
#include <stdexcept>

namespace py = pybind11;

namespace {

// C++ exceptions as Python errors, each carrying its message decoded so that bytes that are not
// UTF-8 show escaped instead of emptying the error (pybind11's own translation would drop a
// message it cannot decode and raise a bare RuntimeError()). kelmora's TypeError, ValueError and
// AttributeError become Python's; the standard exceptions map as pybind11 maps them, anything
// else derived from std::exception (kelmora::RuntimeError, the core's errors) is a RuntimeError.
// Python errors, pybind11's own exceptions and std::bad_alloc go on to pybind11's translation.
void translate_errors(std::exception_ptr error) {
  using kelmora::python::set_error;
  try {
    if (error) std::rethrow_exception(error);
  } catch (const py::error_already_set&) {
    throw;
  } catch (const py::builtin_exception&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const kelmora::core::TreeFileError& e) {
    kelmora::python::raise_file_error(e);
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
  }  // anything else goes on to pybind11's own translation
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
