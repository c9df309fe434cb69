#include "py_interrupt.hpp"

#include <utility>

#include "py_values.hpp"

namespace kelmora::python {

InterruptWatch::InterruptWatch() : active_(_PyOS_IsMainThread() != 0) {}

bool InterruptWatch::check() {
  if (!active_ || raised_) return raised_.has_value();
  const AcquiredGil gil;
  if (!gil || PyErr_CheckSignals() == 0) return false;
  raised_.emplace();  // takes the exception the handler raised
  return true;
}

void InterruptWatch::raise() {
  py::error_already_set error = std::move(*raised_);
  raised_.reset();
  error.restore();
  throw py::error_already_set();
}

void InterruptWatch::raise_if_interrupted() {
  if (raised_) raise();
  if (active_ && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace kelmora::python
