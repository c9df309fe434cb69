#include "py_core.hpp"

#include <pybind11/stl.h>

#include <exception>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/core/wake_up_signal.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/nodes/action_node.hpp>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "py_errors.hpp"
#include "py_interrupt.hpp"
#include "py_nodes.hpp"
#include "py_values.hpp"

namespace kelmora::python {
namespace {

// kelmora.core.TreeNode: the node a tick function receives. It refers to the C++ node only for
// the duration of the tick; afterwards every use raises RuntimeError instead of touching a node
// that the worker may already have destroyed. Not thread-safe: used on the ticking thread, with
// the GIL held.
class TreeNodeHandle {
 public:
  explicit TreeNodeHandle(core::TreeNode* node) : node_(node) {}

  core::TreeNode& node() const {
    if (node_ == nullptr) {
      throw kelmora::RuntimeError(
          "this TreeNode is no longer valid: a node is valid only during "
          "the tick it was passed to");
    }
    return *node_;
  }
  bool valid() const noexcept { return node_ != nullptr; }
  // Points the handle at `node` again, for a later tick of the run it was made for.
  void bind(core::TreeNode* node) noexcept { node_ = node; }
  void invalidate() noexcept {
    node_ = nullptr;
    port_error_ = nullptr;
    port_error_object_ = py::object();
  }

  // Runs a port function of the node. A PortError it throws names this node already; it is
  // raised in Python as the RuntimeError every core error becomes, and remembered with that very
  // Python exception object, so that when the tick function lets it through, the tick fails with
  // the PortError itself (see rethrow_port_error) instead of naming the node twice.
  template <class Fn>
  auto use_port(Fn fn) const {
    try {
      return fn(node());
    } catch (const core::PortError& e) {
      set_error(PyExc_RuntimeError, e.what());
      py::error_already_set raised;
      port_error_ = std::current_exception();
      port_error_object_ = raised.value();
      throw raised;
    }
  }

  // When `e` is the very Python exception a port function of this node raised, rethrows the
  // PortError it came from; otherwise does nothing.
  void rethrow_port_error(const py::error_already_set& e) const {
    if (port_error_ && port_error_object_ && e.value().is(port_error_object_)) {
      std::rethrow_exception(port_error_);
    }
  }

 private:
  core::TreeNode* node_;
  mutable std::exception_ptr port_error_;
  mutable py::object port_error_object_;
};

// Invalidates a handle when the tick that made it ends, however it ends.
class HandleScope {
 public:
  explicit HandleScope(core::TreeNode& node)
      : object_(py::cast(TreeNodeHandle(&node))), handle_(object_.cast<TreeNodeHandle&>()) {}
  // The handle a generator received on its first tick, valid again for this tick of its run.
  HandleScope(core::TreeNode& node, py::object existing)
      : object_(std::move(existing)), handle_(object_.cast<TreeNodeHandle&>()) {
    handle_.bind(&node);
  }
  ~HandleScope() { handle_.invalidate(); }
  HandleScope(const HandleScope&) = delete;
  HandleScope& operator=(const HandleScope&) = delete;
  const py::object& object() const noexcept { return object_; }
  const TreeNodeHandle& handle() const noexcept { return handle_; }

 private:
  py::object object_;
  TreeNodeHandle& handle_;
};

// The tick failed with the Python exception `e`, raised while `handle` was valid.
[[noreturn]] void tick_failed(py::error_already_set& e, const TreeNodeHandle& handle) {
  handle.rethrow_port_error(e);  // a port error of this node names it already
  throw_python_error(e);
}

// Throws unless `gil` holds the GIL (it does not once Python cannot be used any more).
void require_python(const AcquiredGil& gil) {
  if (!gil) {
    throw kelmora::RuntimeError("the Python interpreter is shutting down; tick function not run");
  }
}

// A generator tick function's run: each tick sends the generator on to its next `yield` (the node
// stays RUNNING) or its `return` (the returned status ends the run); a halt closes it, so that
// its `finally:` blocks run, on the tree's thread. The generator keeps the node handle it was
// called with: valid again during each of its ticks and its close, invalid in between.
class GeneratorRun final : public nodes::ActionRun {
 public:
  // With the GIL held.
  GeneratorRun(py::object generator, py::object handle)
      : generator_(hold(std::move(generator))), handle_(hold(std::move(handle))) {}

  core::NodeStatus resume(core::TreeNode& node) override {
    const AcquiredGil gil;
    require_python(gil);
    HandleScope scope(node, handle_->object());
    try {
      return step(generator_->object());
    } catch (py::error_already_set& e) {
      tick_failed(e, scope.handle());
    }
  }

  void halt(core::TreeNode& node) override {
    const AcquiredGil gil;
    if (!gil) return;  // the interpreter is going away: nothing can run any more
    HandleScope scope(node, handle_->object());
    try {
      generator_->object().attr("close")();
    } catch (py::error_already_set& e) {
      tick_failed(e, scope.handle());
    }
  }

  // Sends the generator on: RUNNING for a yield, the status it returned when it ends. Throws
  // py::error_already_set for what it raised, TypeError for a return value that is no status.
  static core::NodeStatus step(const py::object& generator) {
    PyObject* result = nullptr;
    const PySendResult sent = PyIter_Send(generator.ptr(), Py_None, &result);
    if (sent == PYGEN_ERROR) throw py::error_already_set();
    const py::object value = py::reinterpret_steal<py::object>(result);
    if (sent == PYGEN_NEXT) return core::NodeStatus::RUNNING;  // what it yields is not used
    const core::NodeStatus status = to_status(value);
    if (status == core::NodeStatus::RUNNING) {
      // Its run is over, so RUNNING would have nothing to resume.
      throw kelmora::TypeError(
          "a generator tick function must not return NodeStatus.RUNNING (yield to stay RUNNING)");
    }
    return status;
  }

 private:
  PyValueRef generator_;
  PyValueRef handle_;
};

core::NodeStatus call_python_tick(const PyValue& callable, core::TreeNode& node) {
  const AcquiredGil gil;
  require_python(gil);
  HandleScope scope(node);
  try {
    py::object result = callable.object()(scope.object());
    if (!PyGen_Check(result.ptr())) return to_status(result);
    // A generator function: its first step is this tick.
    const core::NodeStatus status = GeneratorRun::step(result);
    if (status == core::NodeStatus::RUNNING) {
      nodes::continue_with(node, std::make_unique<GeneratorRun>(result, scope.object()));
    }
    return status;
  } catch (py::error_already_set& e) {
    tick_failed(e, scope.handle());
  }
}

void bind_node_status(py::module_& m) {
  py::enum_<core::NodeStatus> status(m, "NodeStatus", "The status a node returns from a tick.");
  status.value("IDLE", core::NodeStatus::IDLE)
      .value("RUNNING", core::NodeStatus::RUNNING)
      .value("SUCCESS", core::NodeStatus::SUCCESS)
      .value("FAILURE", core::NodeStatus::FAILURE)
      .value("SKIPPED", core::NodeStatus::SKIPPED);
  cache_status_members(status);
}

void bind_tree_node(py::module_& m) {
  py::class_<WakeUpSignalHandle>(m, "WakeUpSignal",
                                 "A tree's wake-up signal. Thread-safe: emit() from any thread.")
      .def(
          "emit",
          [](const WakeUpSignalHandle& w) {
            if (w.signal) w.signal->emit();
          },
          "Asks for the tree to be ticked again soon.");

  py::class_<TreeNodeHandle>(m, "TreeNode",
                             "The node being ticked, as a tick function receives it; valid only "
                             "during that tick.")
      .def_property_readonly(
          "name", [](const TreeNodeHandle& h) { return decode(h.node().name()); },
          "The node's name in the tree XML (its registration id when it has none).")
      .def_property_readonly(
          "registration_id",
          [](const TreeNodeHandle& h) { return decode(h.node().registration_id()); },
          "The id the node's type was registered under (the XML element name).")
      .def_property_readonly("valid", &TreeNodeHandle::valid,
                             "Whether the tick this node was passed to is still running.")
      .def(
          "status", [](const TreeNodeHandle& h) { return status_object(h.node().status()); },
          "The node's current NodeStatus.")
      .def(
          "getInputString",
          [](const TreeNodeHandle& h, const std::string& port) {
            return decode(h.use_port([&](core::TreeNode& n) { return n.getInputString(port); }));
          },
          py::arg("port"),
          "The input port's value as text: the literal, or the blackboard entry it names as its "
          "text. RuntimeError naming the node for an undeclared or unset port.")
      .def(
          "getInputObject",
          [](const TreeNodeHandle& h, const std::string& port) {
            return from_any(h.use_port([&](core::TreeNode& n) { return n.getInputObject(port); }));
          },
          py::arg("port"),
          "The input port's value as it is stored (a Python object comes back as itself). "
          "RuntimeError naming the node for an undeclared or unset port.")
      .def(
          "setOutput",
          [](const TreeNodeHandle& h, const std::string& port, py::handle value) {
            std::any converted = to_any(value);
            h.use_port([&](core::TreeNode& n) { n.setOutput(port, std::move(converted)); });
          },
          py::arg("port"), py::arg("value"),
          "Writes `value` to the blackboard entry the output port names. RuntimeError naming the "
          "node for an undeclared port.")
      .def(
          "emitWakeUpSignal", [](const TreeNodeHandle& h) { h.node().emitWakeUpSignal(); },
          "Asks for the tree to be ticked again soon: a tick loop waiting between RUNNING ticks "
          "ticks at once. Valid during the tick; a thread that reports later uses "
          "wake_up_signal().")
      .def(
          "wake_up_signal",
          [](const TreeNodeHandle& h) { return WakeUpSignalHandle{h.node().wakeUpSignal()}; },
          "The tree's wake-up signal: its emit() may be called from any thread, also after the "
          "tick (after the tree is gone it does nothing).")
      .def("__repr__", [](const TreeNodeHandle& h) {
        if (!h.valid()) return decode_message("<TreeNode (tick ended)>");
        return decode_message("<TreeNode " + h.node().name() + " (" + h.node().registration_id() +
                              ")>");
      });

  py::class_<CppTick>(m, "CppTick",
                      "A tick function written in C++; registered with an engine, its action "
                      "ticks without the GIL.")
      .def(
          "__call__",
          [](const CppTick& t, const TreeNodeHandle& h) {
            core::NodeStatus status;
            {
              ReleasedGil release;
              status = t.tick(h.node());
            }
            return status_object(status);
          },
          py::arg("node"))
      .def("__repr__", [](const CppTick& t) { return "<C++ tick function " + t.name + ">"; });
}

void bind_factory(py::module_& m) {
  py::class_<core::Tree>(m, "Tree", "A built behaviour tree. Not thread-safe.")
      .def(
          "tickOnce",
          [](core::Tree& tree) {
            core::NodeStatus status;
            {
              ReleasedGil release;
              status = tree.tickOnce();
            }
            return status_object(status);
          },
          "Ticks the root once and returns its NodeStatus.")
      .def("haltTree", &core::Tree::haltTree, py::call_guard<ReleasedGil>(),
           "Halts every running node and sets every node to IDLE.");

  py::class_<core::BehaviorTreeFactory>(m, "BehaviorTreeFactory",
                                        "The registry of node types and the builder of trees "
                                        "from XML. Not thread-safe.")
      .def(py::init<>())
      .def(
          "register_action_behavior",
          [](core::BehaviorTreeFactory& f, const std::string& action_id, py::object tick_functor,
             py::handle ports_list) {
            f.register_action_behavior(action_id, to_tick_functor(std::move(tick_functor)),
                                       to_ports_list(ports_list, "ports_list"));
          },
          py::arg("action_id"), py::arg("tick_functor"), py::arg("ports_list"),
          "Registers an action: its id, its tick function (a callable taking a TreeNode and "
          "returning a NodeStatus) and its ports (a list of dicts of str to str).")
      .def(
          "register_condition_behavior",
          [](core::BehaviorTreeFactory& f, const std::string& condition_id, py::object tick_functor,
             py::handle ports_list) {
            f.register_condition_behavior(condition_id, to_tick_functor(std::move(tick_functor)),
                                          to_ports_list(ports_list, "ports_list"));
          },
          py::arg("condition_id"), py::arg("tick_functor"), py::arg("ports_list"),
          "Registers a condition: like an action, but its tick returns SUCCESS or FAILURE.")
      .def(
          "register_node_class",
          [](core::BehaviorTreeFactory& f, py::handle node_class, py::handle node_id) {
            std::optional<std::string> id = node_id_argument(node_id);
            f.register_node_class(python_node_class(node_class), std::move(id));
          },
          py::arg("node_class"), py::arg("node_id") = py::none(),
          "Registers a node class (kelmora.nodes) under `node_id` or its class name.")
      .def("has_node_type", &core::BehaviorTreeFactory::has_node_type, py::arg("id"),
           "Whether a node type is registered under `id` (the standard nodes included).")
      .def(
          "register_scripting_enum",
          [](core::BehaviorTreeFactory& f, py::handle name_or_enum, py::handle value) {
            f.register_scripting_enums(scripting_enum_values(name_or_enum, value));
          },
          py::arg("name"), py::arg("value") = py::none(),
          "Registers an enum name scripts use as a number: (name, value), or a whole enum "
          "class.")
      .def("register_tree_text", &core::BehaviorTreeFactory::register_tree_text,
           py::arg("xml_text"), py::call_guard<ReleasedGil>(),
           "Registers every BehaviorTree of the XML text; returns their IDs.")
      .def(
          "register_tree_file",
          [](core::BehaviorTreeFactory& f, py::handle path) {
            const std::string file = fs_path(path);
            ReleasedGil release;
            return f.register_tree_file(file);
          },
          py::arg("path"), "Registers every BehaviorTree of the file; returns their IDs.")
      .def(
          "register_tree_folder",
          [](core::BehaviorTreeFactory& f, py::handle path) {
            const std::string folder = fs_path(path);
            ReleasedGil release;
            return f.register_tree_folder(folder);
          },
          py::arg("path"), "Registers every BehaviorTree of every *.xml file below the folder.")
      .def("registered_tree_ids", &core::BehaviorTreeFactory::registered_tree_ids,
           "The IDs of the registered BehaviorTree definitions.")
      .def("create_tree", &core::BehaviorTreeFactory::create_tree_by_name, py::arg("tree_name"),
           py::call_guard<ReleasedGil>(), "Builds the registered BehaviorTree with this ID.")
      .def("create_tree_from_text", &core::BehaviorTreeFactory::create_tree_from_text,
           py::arg("xml_text"), py::call_guard<ReleasedGil>(),
           "Builds a Tree from XML (BehaviorTree XML format 4).")
      .def(
          "create_tree_from_file",
          [](const core::BehaviorTreeFactory& f, py::handle path) {
            const std::string file = fs_path(path);
            ReleasedGil release;
            return f.create_tree_from_file(file);
          },
          py::arg("path"), "Builds a Tree from the XML file at `path`.");
}

// Runs a tick operation of `engine` without the GIL (its Python tick functions take it back).
template <class Fn>
auto released(Fn fn) {
  ReleasedGil release;
  return fn();
}

// Runs a tick loop of a SequentialEngine without the GIL; on the main thread, Ctrl-C cancels it
// (the tree is halted) and its KeyboardInterrupt is raised.
template <class Loop>
auto watched_loop(Loop loop) {
  InterruptWatch watch;
  engine::LoopControl control;
  if (watch.active()) {
    control.interrupted = [&watch] { return watch.check(); };
    control.poll_every = InterruptWatch::kEvery;
  }
  // Whatever the loop gave, a Ctrl-C it saw is what the caller gets (as it would be, raised at
  // the caller's next line, had the loop not looked for it).
  try {
    auto result = [&] {
      ReleasedGil release;
      return loop(control);
    }();
    if (watch.raised()) watch.raise();
    return result;
  } catch (const py::error_already_set&) {
    throw;
  } catch (...) {
    watch.raise_if_interrupted();
    throw;
  }
}

void bind_sequential_engine(py::module_& m) {
  using engine::SequentialEngine;
  py::class_<SequentialEngine>(m, "SequentialEngine",
                               "A single-threaded engine holding one tree. Not thread-safe: one "
                               "thread at a time uses it.")
      .def(py::init<>())
      .def(
          "register_action_behavior",
          [](SequentialEngine& e, const std::string& action_id, py::object tick_functor,
             py::handle ports_list) {
            if (!PyList_Check(ports_list.ptr())) {
              throw py::type_error("ports_list must be list, not " + type_name(ports_list));
            }
            e.register_action_behavior(action_id, to_tick_functor(std::move(tick_functor)),
                                       to_ports_list(ports_list, "ports_list"));
          },
          py::arg("action_id"), py::arg("tick_functor"), py::arg("ports_list"),
          "Registers an action for the tree built afterwards (a later registration of an id "
          "replaces the earlier one).")
      .def(
          "register_scripting_enum",
          [](SequentialEngine& e, py::handle name_or_enum, py::handle value) {
            e.register_scripting_enums(scripting_enum_values(name_or_enum, value));
          },
          py::arg("name"), py::arg("value") = py::none(),
          "Registers an enum name scripts use as a number: (name, value), or a whole enum "
          "class.")
      .def("register_tree_text", &SequentialEngine::register_tree_text, py::arg("xml_text"),
           py::call_guard<ReleasedGil>(),
           "Registers every BehaviorTree of the XML text; returns their IDs.")
      .def(
          "register_tree_file",
          [](SequentialEngine& e, py::handle path) {
            const std::string file = fs_path(path);
            ReleasedGil release;
            return e.register_tree_file(file);
          },
          py::arg("path"), "Registers every BehaviorTree of the file; returns their IDs.")
      .def(
          "register_tree_folder",
          [](SequentialEngine& e, py::handle path) {
            const std::string folder = fs_path(path);
            ReleasedGil release;
            return e.register_tree_folder(folder);
          },
          py::arg("path"), "Registers every BehaviorTree of every *.xml file below the folder.")
      .def("create_tree", &SequentialEngine::create_tree_by_name, py::arg("tree_name"),
           py::call_guard<ReleasedGil>(), "Builds the registered BehaviorTree with this ID.")
      .def(
          "register_condition_behavior",
          [](SequentialEngine& e, const std::string& condition_id, py::object tick_functor,
             py::handle ports_list) {
            if (!PyList_Check(ports_list.ptr())) {
              throw py::type_error("ports_list must be list, not " + type_name(ports_list));
            }
            e.register_condition_behavior(condition_id, to_tick_functor(std::move(tick_functor)),
                                          to_ports_list(ports_list, "ports_list"));
          },
          py::arg("condition_id"), py::arg("tick_functor"), py::arg("ports_list"),
          "Registers a condition for the tree built afterwards.")
      .def(
          "register_node_class",
          [](SequentialEngine& e, py::handle node_class, py::handle node_id) {
            std::optional<std::string> id = node_id_argument(node_id);
            e.register_node_class(python_node_class(node_class), std::move(id));
          },
          py::arg("node_class"), py::arg("node_id") = py::none(),
          "Registers a node class (kelmora.nodes) for the tree built afterwards.")
      .def("create_tree_from_text", &SequentialEngine::create_tree_from_text, py::arg("xml_text"),
           py::call_guard<ReleasedGil>(), "Builds the engine's tree from XML, replacing any.")
      .def(
          "create_tree_from_file",
          [](SequentialEngine& e, py::handle path) {
            const std::string file = fs_path(path);
            ReleasedGil release;
            e.create_tree_from_file(file);
          },
          py::arg("path"), "Builds the engine's tree from the XML file at `path`.")
      .def(
          "tick_once",
          [](SequentialEngine& e) {
            return status_object(released([&] { return e.tick_once(); }));
          },
          "Ticks the tree once and returns the NodeStatus of that tick.")
      .def(
          "tick_until_failure",
          [](SequentialEngine& e) {
            return watched_loop(
                [&](const engine::LoopControl& c) { return e.tick_until_failure(c); });
          },
          "Ticks the tree until it fails; returns the number of ticks run.")
      .def(
          "tick_until_success",
          [](SequentialEngine& e) {
            return watched_loop(
                [&](const engine::LoopControl& c) { return e.tick_until_success(c); });
          },
          "Ticks the tree until it succeeds; returns the number of ticks run.")
      .def(
          "tick_n_times",
          [](SequentialEngine& e, std::int64_t n) {
            return from_any(
                watched_loop([&](const engine::LoopControl& c) { return e.tick_n_times(n, c); }));
          },
          py::arg("n"), "Ticks the tree `n` times; returns one NodeStatus per tick.")
      .def_property(
          "tick_period",
          [](const SequentialEngine& e) {
            return std::chrono::duration<double>(e.tick_period()).count();
          },
          [](SequentialEngine& e, py::handle seconds) { e.set_tick_period(to_period(seconds)); },
          "The longest wait, in seconds, between two RUNNING ticks of a tick loop (default "
          "0.01); 0 ticks again at once.")
      .def(
          "set_tick_period",
          [](SequentialEngine& e, py::handle seconds) { e.set_tick_period(to_period(seconds)); },
          py::arg("seconds"), "Sets tick_period, in seconds.")
      .def("emit_wake_up_signal", &SequentialEngine::emit_wake_up_signal,
           "Makes a tick loop waiting between RUNNING ticks tick at once. Thread-safe.")
      .def("halt_tree", &SequentialEngine::halt_tree, py::call_guard<ReleasedGil>(),
           "Halts every running node (each halt runs here); the blackboard is kept.")
      .def(
          "get_tree_status",
          [](const SequentialEngine& e) { return from_any_map(e.get_tree_status()); },
          "The tree's state as a dict (status, tick count, root, nodes).")
      .def(
          "get_blackboard_data",
          [](const SequentialEngine& e, const std::string& key) {
            return from_any(e.get_blackboard_data(key));
          },
          py::arg("key"), "The value stored under `key` (None when never written).")
      .def(
          "set_blackboard_data",
          [](SequentialEngine& e, const std::string& key, py::handle value) {
            e.set_blackboard_data(key, to_any(value));
          },
          py::arg("key"), py::arg("value"), "Stores `value`, of any kind, under `key`.")
      .def(
          "get_all_blackboard_data",
          [](const SequentialEngine& e) { return from_any_map(e.get_all_blackboard_data()); },
          "All entries of the tree's blackboard, as a dict.")
      .def("reset_tree", &SequentialEngine::reset_tree, py::call_guard<ReleasedGil>(),
           "Halts running nodes and sets every node to IDLE; the blackboard is kept.")
      .def_property_readonly("has_tree", &SequentialEngine::has_tree,
                             "Whether a tree has been built.");
}

}  // namespace

std::vector<std::pair<std::string, std::int64_t>> scripting_enum_values(py::handle name_or_enum,
                                                                        py::handle value) {
  const auto integer = [](py::handle v, const std::string& what) {
    if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) {
      throw py::type_error(what + " must be int, not " + type_name(v));
    }
    return v.cast<std::int64_t>();
  };
  if (PyUnicode_Check(name_or_enum.ptr())) {
    if (value.is_none()) throw py::type_error("register_scripting_enum(name, value) needs a value");
    return {{encode(name_or_enum), integer(value, "value")}};
  }
  py::object enum_type = py::module_::import("enum").attr("Enum");
  if (PyType_Check(name_or_enum.ptr()) &&
      PyObject_IsSubclass(name_or_enum.ptr(), enum_type.ptr()) == 1) {
    if (!value.is_none()) {
      throw py::type_error("register_scripting_enum(enum_class) takes no value");
    }
    const std::string cls = py::str(name_or_enum.attr("__name__"));
    std::vector<std::pair<std::string, std::int64_t>> values;
    for (auto item : py::dict(name_or_enum.attr("__members__"))) {
      const std::string member = encode(item.first);
      values.emplace_back(member,
                          integer(item.second.attr("value"), "the value of " + cls + "." + member));
    }
    return values;
  }
  throw py::type_error("register_scripting_enum takes a name and a value, or an enum class, not " +
                       type_name(name_or_enum));
}

void throw_python_error(py::error_already_set& e) {
  // Ctrl-C that landed in Python code run on the main thread is also raised again once control
  // is back in Python, rather than vanish into a failed tick; a KeyboardInterrupt on a worker
  // thread is no Ctrl-C and stays there. Re-armed last: a pending Ctrl-C is consumed by the next
  // Python call that checks signals. The exception object itself goes on (PythonError), so that
  // the caller's error gets it back as its __cause__.
  std::string text = error_text(e);
  if (e.trace() && !e.trace().is_none()) {
    PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
  }
  PyValueRef exception = hold(e.value());
  keep_interrupt(e);
  throw PythonError(text, std::move(exception));
}

core::TickFunctor to_tick_functor(py::object object) {
  if (py::isinstance<CppTick>(object)) return object.cast<const CppTick&>().tick;
  PyValueRef callable = hold(std::move(object));
  return [callable](core::TreeNode& node) { return call_python_tick(*callable, node); };
}

void bind_core(py::module_& m) {
  bind_node_status(m);
  bind_tree_node(m);
  bind_factory(m);
  bind_sequential_engine(m);
}

}  // namespace kelmora::python
