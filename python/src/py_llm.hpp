#pragma once

#include <pybind11/pybind11.h>

namespace kelmora::python {

// Binds the agent layer (Ollama, Agent, ResponseStream, ResponseItem, ModelServerError) and the
// C++ agent nodes' tick functions and ports lists, and teaches the value conversions about them.
void bind_llm(pybind11::module_& m);

}  // namespace kelmora::python
