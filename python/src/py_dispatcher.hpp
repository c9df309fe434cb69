#pragma once

#include <pybind11/pybind11.h>

namespace kelmora::python {

// Binds kelmora._native.Dispatcher, the fixed pool of native threads under kelmora.aio.
void bind_dispatcher(pybind11::module_& m);

}  // namespace kelmora::python
