#pragma once

#include <pybind11/pybind11.h>

namespace kelmora::python {

// Binds kelmora._native.ThreadEngine, the C++ engine under the Python ThreadEngine class.
void bind_engine(pybind11::module_& m);

}  // namespace kelmora::python
