#include "py_nodes.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <kelmora/nodes/condition_node.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "py_core.hpp"
#include "py_errors.hpp"
#include "py_values.hpp"

namespace kelmora::python {
namespace {

enum class PyKind { kControl, kDecorator, kCondition, kSimpleAction, kStatefulAction };

// What a Python node class does, found once when it is registered. Shared by the registration
// and every node of the class, on any thread (its Python object is held as a PyValue).
struct ClassInfo {
  PyValueRef cls;
  std::string name;
  PyKind kind = PyKind::kSimpleAction;
  // `tick` is a staticmethod taking the node (the form register_action_class takes): it is
  // called with the instance as the node.
  bool static_tick = false;
  // The class has a halt() of its own (for controls and decorators: not the base's default,
  // which only halts the children, as the core does anyway afterwards).
  bool has_halt = false;
  // A stateful action's onHalted() is not the base's (which does nothing).
  bool has_on_halted = false;
  // The class checks the node once the tree is built (validate(self)).
  bool has_validate = false;
};

// The state a node's handle and its children's handles share with the node. Guarded by the GIL:
// every access is made holding it.
struct NodeState {
  // The node; null for a handle made outside a tree, and once the node is gone.
  core::TreeNode* node = nullptr;
  // The thread running one of the node's methods (tick, halt, onStart, ...) now; only it, and
  // only then, may use the node's ports and children.
  std::thread::id active;
  // A C++ error that one of the node's operations raised into Python during the current method,
  // and the Python exception it became: when the method lets that very exception through, the
  // method fails with the C++ error itself (a child's NodeTickError, a stop, a port error
  // naming the node), not with a new error naming this node.
  std::exception_ptr crossed;
  PyValueRef crossed_object;
};

constexpr const char* kNotInTree =
    "this node is not part of a tree: it was made outside a tree, or its tree is gone";

// A node handle (kelmora._native.NodeHandle): what an instance of a Python node class reaches
// its own node through (as self._kelmora_node). Not thread-safe: used with the GIL held; the
// node's ports, status and children only by the tree's thread during the node's own methods.
class NodeHandle {
 public:
  explicit NodeHandle(std::shared_ptr<NodeState> state) : state_(std::move(state)) {}

  const std::shared_ptr<NodeState>& state() const noexcept { return state_; }

  // The node, for what stays valid for its whole life (name, registration id).
  core::TreeNode& node() const {
    if (!state_ || state_->node == nullptr) throw kelmora::RuntimeError(kNotInTree);
    return *state_->node;
  }

  // The node, for its ports, status and children: only during one of its own methods, on the
  // thread running it.
  core::TreeNode& active_node() const {
    core::TreeNode& n = node();
    if (state_->active != std::this_thread::get_id()) {
      throw kelmora::RuntimeError(n.describe() +
                                  ": a node's status, ports and children can be used only "
                                  "during its own tick or halt, on the tree's thread");
    }
    return n;
  }

  // Runs a port operation of the node; a PortError (it names this node already) is raised as
  // RuntimeError and remembered, so that a method letting it through fails with the PortError.
  template <class Fn>
  auto use_port(Fn fn) const {
    core::TreeNode& n = active_node();
    try {
      return fn(n);
    } catch (const core::PortError& e) {
      set_error(PyExc_RuntimeError, e.what());
      py::error_already_set raised;
      state_->crossed = std::current_exception();
      state_->crossed_object = hold(raised.value());
      throw raised;
    }
  }

  // The child handles, made on first use and kept; a new list each time.
  py::list children();

 private:
  std::shared_ptr<NodeState> state_;
  py::object children_;  // a list of ChildNode
};

// Raises `error`, thrown by a child's tick or halt, into Python as the translation does, and
// remembers it in `state` (see NodeState::crossed).
[[noreturn]] void raise_crossed(NodeState& state, const std::exception_ptr& error) {
  set_translated_error(error);
  py::error_already_set raised;
  state.crossed = error;
  state.crossed_object = hold(raised.value());
  throw raised;
}

// A child handle (kelmora._native.ChildNode): one child of a Python control or decorator, as
// its `children` list holds it. Not thread-safe: used with the GIL held, by the tree's thread
// during the parent's own methods (except name and registration id).
class ChildNode {
 public:
  ChildNode(std::shared_ptr<NodeState> owner, std::size_t index)
      : owner_(std::move(owner)), index_(index) {}

  core::TreeNode& child() const {
    if (owner_->node == nullptr) throw kelmora::RuntimeError(kNotInTree);
    return owner_->node->child(index_);
  }

  core::TreeNode& active_child() const {
    core::TreeNode& c = child();
    if (owner_->active != std::this_thread::get_id()) {
      throw kelmora::RuntimeError(owner_->node->describe() +
                                  ": a node's children can be used only during its own tick or "
                                  "halt, on the tree's thread");
    }
    return c;
  }

  // Ticks the child with the GIL released (a Python child takes it back).
  py::object execute_tick() const {
    core::TreeNode& c = active_child();
    std::exception_ptr failure;
    core::NodeStatus status = core::NodeStatus::IDLE;
    {
      ReleasedGil release;
      try {
        status = c.executeTick();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) raise_crossed(*owner_, failure);
    return status_object(status);
  }

  void halt() const {
    core::TreeNode& c = active_child();
    std::exception_ptr failure;
    {
      ReleasedGil release;
      try {
        c.haltNode();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) raise_crossed(*owner_, failure);
  }

  std::shared_ptr<NodeState> owner() const { return owner_; }
  std::size_t index() const noexcept { return index_; }

 private:
  std::shared_ptr<NodeState> owner_;
  std::size_t index_;
};

py::list NodeHandle::children() {
  core::TreeNode& n = active_node();
  if (!children_) {
    py::list made;
    for (std::size_t i = 0; i < n.childrenCount(); ++i) made.append(py::cast(ChildNode(state_, i)));
    children_ = std::move(made);
  }
  return py::list(children_);  // a copy: the caller may change it
}

// Halts the children from `first` to `last` (exclusive) with the GIL released; every one is
// halted even when one fails, and the first failure is raised (see raise_crossed).
void halt_children(NodeState& state, core::TreeNode& node, std::size_t first, std::size_t last) {
  std::exception_ptr failure;
  {
    ReleasedGil release;
    for (std::size_t i = first; i < last; ++i) {
      try {
        node.child(i).haltNode();
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
  }
  if (failure) raise_crossed(state, failure);
}

// The handle the instance being made on this thread takes in its __new__ (borrowed: the node
// under construction holds it). Only touched with the GIL held.
thread_local PyObject* t_node_under_construction = nullptr;

// Marks the calling thread as running one of the node's methods, for the method's duration; the
// remembered error is dropped as it ends. Make and drop it holding the GIL.
class ActiveScope {
 public:
  explicit ActiveScope(NodeState& state) : state_(state), previous_(state.active) {
    state_.active = std::this_thread::get_id();
  }
  ~ActiveScope() {
    state_.active = previous_;
    state_.crossed = nullptr;
    state_.crossed_object.reset();
  }
  ActiveScope(const ActiveScope&) = delete;
  ActiveScope& operator=(const ActiveScope&) = delete;

 private:
  NodeState& state_;
  std::thread::id previous_;
};

// The Python side of one node made from a Python class: its instance and its handle. Not
// thread-safe: used by the thread that builds and ticks the tree.
class PythonPart {
 public:
  // Makes the handle and the instance (the class called with no arguments). Call with the GIL
  // held. A Python error in the class's constructor is thrown as a PythonError.
  PythonPart(core::TreeNode& node, std::shared_ptr<const ClassInfo> info)
      : info_(std::move(info)), state_(std::make_shared<NodeState>()) {
    state_->node = &node;
    try {
      py::object handle = py::cast(NodeHandle(state_));
      handle_ = hold(handle);
      t_node_under_construction = handle.ptr();
      py::object instance = info_->cls->object()();
      t_node_under_construction = nullptr;
      instance.attr("_kelmora_node") = handle;  // also when a __new__ of the user's skipped ours
      instance_ = hold(std::move(instance));
    } catch (py::error_already_set& e) {
      t_node_under_construction = nullptr;
      state_->node = nullptr;
      throw_python_error(e);
    } catch (...) {
      t_node_under_construction = nullptr;
      state_->node = nullptr;
      throw;
    }
  }

  // Invalidates the handles, then drops the instance, with the GIL; while the interpreter
  // finalizes without this thread holding the GIL, both are left alone (leaked).
  ~PythonPart() {
    const AcquiredGil gil;
    if (!gil) return;  // the values leak their references themselves (PyValue)
    state_->node = nullptr;
    instance_.reset();
    handle_.reset();
  }
  PythonPart(const PythonPart&) = delete;
  PythonPart& operator=(const PythonPart&) = delete;

  const ClassInfo& info() const noexcept { return *info_; }

  // instance.tick(), or for a static tick instance.tick(instance).
  core::NodeStatus tick() {
    return call("tick", [this](const py::object& self) {
      py::object method = self.attr("tick");
      return to_status(info_->static_tick ? method(self) : method());
    });
  }

  // instance.<method>() returning a NodeStatus (onStart, onRunning).
  core::NodeStatus call_status(const char* method) {
    return call(method,
                [method](const py::object& self) { return to_status(self.attr(method)()); });
  }

  // instance.<method>() (halt, onHalted); its result is ignored.
  void call_void(const char* method) {
    call(method, [method](const py::object& self) {
      self.attr(method)();
      return 0;
    });
  }

 private:
  // Runs fn(instance) with the GIL, as one of the node's methods. A Python error becomes a
  // PythonError (the core names the node); the C++ error of a child or a port that the method
  // let through is thrown as it was.
  template <class Fn>
  std::invoke_result_t<Fn&, const py::object&> call(const char* method, Fn fn) {
    const AcquiredGil gil;
    if (!gil) {
      throw kelmora::RuntimeError("the Python interpreter is shutting down; " + info_->name + "." +
                                  method + " not run");
    }
    ActiveScope active(*state_);
    try {
      return fn(instance_->object());
    } catch (py::error_already_set& e) {
      if (state_->crossed && state_->crossed_object &&
          e.value().is(state_->crossed_object->object())) {
        std::rethrow_exception(state_->crossed);
      }
      throw_python_error(e);
    }
  }

  std::shared_ptr<const ClassInfo> info_;
  std::shared_ptr<NodeState> state_;
  PyValueRef handle_;
  PyValueRef instance_;
};

// A control, decorator, condition or simple action made from a Python class.
template <class Base>
class PythonNode final : public Base {
 public:
  PythonNode(core::NodeConfig config, std::shared_ptr<const ClassInfo> info)
      : Base(std::move(config)), python_(*this, std::move(info)) {}

 protected:
  core::NodeStatus onTick() override { return python_.tick(); }
  void onHalt() override {
    if (python_.info().has_halt) python_.call_void("halt");
  }

 public:
  // The class's validate(self), once the children are added: what it raises becomes the build
  // error, naming the node.
  void validate() override {
    if (!python_.info().has_validate) return;
    try {
      python_.call_void("validate");
    } catch (const std::exception& e) {
      throw kelmora::ValueError(this->describe() + ": " + e.what());
    }
  }

 private:
  PythonPart python_;
};

// A stateful action made from a Python class.
class PythonStatefulNode final : public nodes::StatefulActionNode {
 public:
  PythonStatefulNode(core::NodeConfig config, std::shared_ptr<const ClassInfo> info)
      : StatefulActionNode(std::move(config)), python_(*this, std::move(info)) {}

 protected:
  core::NodeStatus onStart() override { return python_.call_status("onStart"); }
  core::NodeStatus onRunning() override { return python_.call_status("onRunning"); }
  void onHalted() override {
    if (python_.info().has_on_halted) python_.call_void("onHalted");
  }

 private:
  PythonPart python_;
};

core::NodeCreator python_creator(std::shared_ptr<const ClassInfo> info) {
  return [info](core::NodeConfig config) -> std::unique_ptr<core::TreeNode> {
    const AcquiredGil gil;
    if (!gil) {
      throw kelmora::RuntimeError("the Python interpreter is shutting down; node class " +
                                  info->name + " not made");
    }
    switch (info->kind) {
      case PyKind::kControl:
        return std::make_unique<PythonNode<nodes::ControlNode>>(std::move(config), info);
      case PyKind::kDecorator:
        return std::make_unique<PythonNode<nodes::DecoratorNode>>(std::move(config), info);
      case PyKind::kCondition:
        return std::make_unique<PythonNode<nodes::ConditionNode>>(std::move(config), info);
      case PyKind::kSimpleAction:
        return std::make_unique<PythonNode<nodes::SimpleActionNode>>(std::move(config), info);
      case PyKind::kStatefulAction:
        return std::make_unique<PythonStatefulNode>(std::move(config), info);
    }
    throw kelmora::RuntimeError("node class " + info->name + " has an unknown kind");
  };
}

core::NodeKind core_kind(PyKind kind) {
  switch (kind) {
    case PyKind::kControl:
      return core::NodeKind::CONTROL;
    case PyKind::kDecorator:
      return core::NodeKind::DECORATOR;
    case PyKind::kCondition:
      return core::NodeKind::CONDITION;
    case PyKind::kSimpleAction:
    case PyKind::kStatefulAction:
      return core::NodeKind::ACTION;
  }
  return core::NodeKind::ACTION;
}

// The attribute `name` as the class's own __dict__ or a base's holds it (no descriptor
// applied), or a null object when none has it.
py::object static_attribute(py::handle cls, const char* name) {
  for (py::handle klass : cls.attr("__mro__")) {
    py::object dict = klass.attr("__dict__");
    if (dict.contains(name)) return dict[name];
  }
  return py::object();
}

// Whether the class's `name` is a method of its own rather than `base`'s default.
bool overrides(py::handle cls, py::handle base, const char* name) {
  py::object own = static_attribute(cls, name);
  return own && !own.is(static_attribute(base, name));
}

}  // namespace

std::optional<std::string> node_id_argument(py::handle node_id) {
  if (node_id.is_none()) return std::nullopt;
  if (!PyUnicode_Check(node_id.ptr())) {
    throw py::type_error("node_id must be str or None, not " + type_name(node_id));
  }
  return encode(node_id);
}

core::NodeClass python_node_class(py::handle node_class) {
  struct Base {
    const char* module;
    const char* name;
    PyKind kind;
  };
  static constexpr Base kBases[] = {
      {"kelmora.nodes.control_node", "ControlNode", PyKind::kControl},
      {"kelmora.nodes.decorator_node", "DecoratorNode", PyKind::kDecorator},
      {"kelmora.nodes.condition_node", "ConditionNode", PyKind::kCondition},
      {"kelmora.nodes.action_node", "SimpleActionNode", PyKind::kSimpleAction},
      {"kelmora.nodes.action_node", "StatefulActionNode", PyKind::kStatefulAction},
  };
  int matches = 0;
  const Base* found = nullptr;
  py::object found_base;
  for (const Base& base : kBases) {
    py::object base_class = py::module_::import(base.module).attr(base.name);
    const int derived = PyObject_IsSubclass(node_class.ptr(), base_class.ptr());
    if (derived < 0) throw py::error_already_set();  // not a class: issubclass's TypeError
    if (derived != 0) {
      ++matches;
      found = &base;
      found_base = base_class;
    }
  }
  core::NodeClass cls;
  cls.name = encode_message(node_class.attr("__name__"));
  if (matches != 1) return cls;  // no known kind: the registration refuses it

  auto info = std::make_shared<ClassInfo>();
  info->cls = hold(py::reinterpret_borrow<py::object>(node_class));
  info->name = cls.name;
  info->kind = found->kind;
  if (info->kind == PyKind::kStatefulAction) {
    (void)py::getattr(node_class, "onStart");  // AttributeError naming the class when missing
    (void)py::getattr(node_class, "onRunning");
    info->has_on_halted = overrides(node_class, found_base, "onHalted");
  } else {
    (void)py::getattr(node_class, "tick");
    const py::object tick = static_attribute(node_class, "tick");
    info->static_tick = tick && PyObject_TypeCheck(tick.ptr(), &PyStaticMethod_Type) != 0;
    info->has_halt = overrides(node_class, found_base, "halt");
    info->has_validate = static_cast<bool>(static_attribute(node_class, "validate"));
  }
  py::object ports = static_attribute(node_class, "ports");
  if (ports) {
    if (!PyList_Check(ports.ptr())) {
      throw py::type_error("ports of node class " + cls.name + " must be list, not " +
                           type_name(ports));
    }
    cls.ports = to_ports_list(ports, "ports");
  }
  cls.kind = core_kind(info->kind);
  cls.create = python_creator(std::move(info));
  return cls;
}

void bind_nodes(py::module_& m) {
  py::class_<NodeHandle>(m, "NodeHandle",
                         "How an instance of a node class reaches its node (self._kelmora_node). "
                         "Use the instance's own methods instead.")
      .def_property_readonly(
          "valid", [](const NodeHandle& h) { return h.state() && h.state()->node != nullptr; },
          "Whether the handle belongs to a node of a tree that still exists.")
      .def_property_readonly(
          "name", [](const NodeHandle& h) { return decode(h.node().name()); },
          "The element's name (its id when absent).")
      .def_property_readonly(
          "registration_id", [](const NodeHandle& h) { return decode(h.node().registration_id()); },
          "The id the node's class was registered under.")
      .def_property_readonly(
          "status", [](const NodeHandle& h) { return status_object(h.active_node().status()); },
          "The node's NodeStatus.")
      .def(
          "isPortBound",
          [](const NodeHandle& h, const std::string& port) {
            return h.active_node().isPortBound(port);
          },
          py::arg("port"), "Whether the element binds the port.")
      .def(
          "getInputString",
          [](const NodeHandle& h, const std::string& port) {
            return decode(h.use_port([&](core::TreeNode& n) { return n.getInputString(port); }));
          },
          py::arg("port"), "The input port's value as text.")
      .def(
          "getInputObject",
          [](const NodeHandle& h, const std::string& port) {
            return from_any(h.use_port([&](core::TreeNode& n) { return n.getInputObject(port); }));
          },
          py::arg("port"), "The input port's value, of any kind.")
      .def(
          "setOutput",
          [](const NodeHandle& h, const std::string& port, py::handle value) {
            std::any converted = to_any(value);
            h.use_port([&](core::TreeNode& n) { n.setOutput(port, std::move(converted)); });
          },
          py::arg("port"), py::arg("value"), "Writes `value` to the output port's entry.")
      .def(
          "emitWakeUpSignal", [](const NodeHandle& h) { h.node().emitWakeUpSignal(); },
          "Asks for the tree to be ticked again soon (a tick loop waiting between RUNNING ticks "
          "ticks at once).")
      .def(
          "wake_up_signal",
          [](const NodeHandle& h) { return WakeUpSignalHandle{h.node().wakeUpSignal()}; },
          "The tree's wake-up signal, whose emit() any thread may call.")
      .def_property_readonly("children", &NodeHandle::children,
                             "The child handles (ChildNode), in XML order.")
      .def(
          "haltChildren",
          [](const NodeHandle& h) {
            core::TreeNode& n = h.active_node();
            halt_children(*h.state(), n, 0, n.childrenCount());
          },
          "Halts every child.")
      .def(
          "haltChild",
          [](const NodeHandle& h, std::int64_t index) {
            core::TreeNode& n = h.active_node();
            if (index < 0 || static_cast<std::size_t>(index) >= n.childrenCount()) {
              throw py::index_error(n.describe() + ": has no child " + std::to_string(index) +
                                    " (it has " + std::to_string(n.childrenCount()) + ")");
            }
            const auto i = static_cast<std::size_t>(index);
            halt_children(*h.state(), n, i, i + 1);
          },
          py::arg("index"), "Halts the child at `index` (IndexError when there is none).")
      .def("__repr__", [](const NodeHandle& h) {
        if (!h.state() || h.state()->node == nullptr) {
          return decode_message("<NodeHandle (not in a tree)>");
        }
        return decode_message("<NodeHandle " + h.state()->node->describe() + ">");
      });

  py::class_<ChildNode>(m, "ChildNode",
                        "A child of a control or decorator written in Python, as its `children` "
                        "list holds it: name, registration_id, status, executeTick(), halt(). "
                        "Its status, ticks and halts are for the parent's own tick or halt, on "
                        "the tree's thread.")
      .def_property_readonly(
          "name", [](const ChildNode& c) { return decode(c.child().name()); },
          "The child element's name.")
      .def_property_readonly(
          "registration_id", [](const ChildNode& c) { return decode(c.child().registration_id()); },
          "The id the child's type was registered under.")
      .def_property_readonly(
          "status", [](const ChildNode& c) { return status_object(c.active_child().status()); },
          "The child's NodeStatus.")
      .def("executeTick", &ChildNode::execute_tick,
           "Ticks the child (the GIL is released while C++ nodes run) and returns its status.")
      .def("halt", &ChildNode::halt,
           "Halts the child: a RUNNING child stops what it runs; it and its descendants end IDLE.")
      .def("__repr__", [](const ChildNode& c) {
        if (c.owner()->node == nullptr) return decode_message("<ChildNode (tree gone)>");
        return decode_message("<ChildNode " + c.child().describe() + ">");
      });

  m.def(
      "_take_node_under_construction",
      []() -> py::object {
        if (t_node_under_construction != nullptr) {
          py::object handle = py::reinterpret_borrow<py::object>(t_node_under_construction);
          t_node_under_construction = nullptr;
          return handle;
        }
        return py::cast(NodeHandle(nullptr));
      },
      "The handle of the node whose instance is being made on this thread (taken once), or a "
      "handle of no node.");
}

}  // namespace kelmora::python
