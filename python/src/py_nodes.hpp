#pragma once
// Node classes written in Python (register_node_class): the C++ node each element of such a
// class gets, the Python instance it owns, and the handles through which the instance reaches
// its node and its children.
//
// One Python instance per element, made by calling the class with no arguments while the tree is
// built (on the thread that builds it: a ThreadEngine tree's worker), with the GIL. The C++ node
// owns the instance; the instance reaches the node through a handle (kelmora._native.NodeHandle)
// that the node invalidates, with the GIL, before it goes away, so nothing Python keeps can reach
// a destroyed node. No reference cycle joins the two: the instance is dropped with its tree.

#include <pybind11/pybind11.h>

#include <kelmora/core/node_class.hpp>
#include <optional>
#include <string>

namespace kelmora::python {

namespace py = pybind11;

// The `node_id` argument of register_node_class: a str, or None (the class's own name).
// TypeError "node_id must be str or None, not T" otherwise. Not thread-safe: call with the GIL
// held.
std::optional<std::string> node_id_argument(py::handle node_id);

// Describes the Python class `node_class` for register_node_class. Its kind is the one of the
// bases (kelmora.nodes.control_node.ControlNode, decorator_node.DecoratorNode,
// condition_node.ConditionNode, action_node.SimpleActionNode, action_node.StatefulActionNode) it
// derives from; a class of none of them, or of several, gets no kind (the registration then
// logs and raises the TypeError). A value that is not a class raises the TypeError of
// issubclass(). For a class of a known kind: a missing `tick` (stateful actions: `onStart`,
// `onRunning`) raises AttributeError; a class-level `ports` that is not a list of dicts of str
// raises TypeError (absent: no ports). Not thread-safe: call with the GIL held.
core::NodeClass python_node_class(py::handle node_class);

// Binds NodeHandle, ChildNode and _take_node_under_construction (used by the Python base
// classes in kelmora.nodes).
void bind_nodes(py::module_& m);

}  // namespace kelmora::python
