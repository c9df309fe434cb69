// kelmora's log lines, handed to loguru's shared `logger` while the Python module is in use.

#include "py_logging.hpp"

#include <spdlog/details/null_mutex.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <cstdio>
#include <kelmora/log.hpp>
#include <memory>
#include <string>

#include "py_values.hpp"

namespace kelmora::python {
namespace {

// Writes each line to loguru through kelmora._logging.info / error (small Python functions, so
// that loguru finds a Python caller frame even for lines written on a worker thread).
//
// The sink has no lock of its own (null_mutex): the GIL serialises the calls into Python, and a
// sink lock would let a thread that holds the GIL and logs wait for a thread that holds the sink
// lock and waits for the GIL. While the interpreter finalizes, lines go to standard error.
// Thread-safe.
class LoguruSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string text(msg.payload.data(), msg.payload.size());
    const bool is_error = msg.level >= spdlog::level::err;
    if (!write_to_loguru(text, is_error)) {
      std::fprintf(stderr, "%s | %s\n", is_error ? "ERROR" : "INFO", text.c_str());
    }
  }
  void flush_() override {}

 private:
  // A KeyboardInterrupt that the main thread's pending Ctrl-C raises inside loguru (the main
  // thread writes lines while it waits in a command) must neither lose the line nor the Ctrl-C:
  // the line is written again and Ctrl-C raised anew once control is back in Python.
  // False when Python cannot be used any more or the line could not be written.
  static bool write_to_loguru(const std::string& text, bool is_error) {
    const AcquiredGil gil;
    if (!gil) return false;
    bool interrupted = false;
    bool written = false;
    for (int attempt = 0; attempt < 2 && !written; ++attempt) {
      try {
        call_loguru(text, is_error);
        written = true;
      } catch (py::error_already_set& e) {
        if (attempt == 0 && e.matches(PyExc_KeyboardInterrupt) && on_main_thread()) {
          interrupted = true;
          continue;
        }
        e.discard_as_unraisable("kelmora log line");
        break;
      }
    }
    if (interrupted) PyErr_SetInterrupt();
    return written;
  }

  static void call_loguru(const std::string& text, bool is_error) {
    // A strong reference kept for the process's life (released at exit it would touch a
    // finalized interpreter), guarded by the GIL rather than a static initializer, whose lock
    // would be held across the import while the import may let other threads take the GIL.
    static PyObject* module = nullptr;
    if (module == nullptr) {
      py::object imported = py::module_::import("kelmora._logging");
      if (module == nullptr) module = imported.release().ptr();
    }
    py::handle(module).attr(is_error ? "error" : "info")(decode_message(text));
  }
};

}  // namespace

void install_log_sink() {
  auto logger = std::make_shared<spdlog::logger>("kelmora", std::make_shared<LoguruSink>());
  logger->set_level(spdlog::level::info);
  kelmora::log::set_logger(std::move(logger));
}

}  // namespace kelmora::python
