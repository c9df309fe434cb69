// kelmora._native.ThreadEngine: the C++ thread engine under the Python class
// kelmora.engine.trigger.mthread.ThreadEngine, which checks argument and result kinds and then
// calls in here. Its tree operations come through the host protocol (host_protocol.hpp):
// _send_command, _check_tree_exists, and process_command for the class's _process_command.
//
// GIL discipline: every call that can wait (for a tree's worker, for a join, for the engine's
// locks) runs with the GIL released, so that other Python threads, and the Python tick functions
// of the trees being waited for, go on. Python values are converted before the GIL is released
// and after it is taken back.

#include "py_engine.hpp"

#include <pybind11/stl.h>

#include <chrono>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "engine/trigger/engine_state.hpp"
#include "engine/trigger/host_protocol.hpp"
#include "py_core.hpp"
#include "py_interrupt.hpp"
#include "py_nodes.hpp"
#include "py_values.hpp"

namespace kelmora::python {
namespace {

using engine::SequentialEngine;
using engine::trigger::ActionClass;
using engine::trigger::ThreadEngine;
using engine::trigger::TreeInfo;
namespace host = engine::trigger::host;

// Owns the C++ engine until close() or destruction. Every operation works on its own reference
// to the engine, so closing while another thread is inside an operation never destroys the
// engine under it. Thread-safe.
class NativeThreadEngine {
 public:
  explicit NativeThreadEngine(engine::trigger::EngineOptions options = {})
      : engine_(std::make_shared<ThreadEngine>(options)) {}

  // Closes the engine if that has not been done yet, with the GIL released, since stopping the
  // trees joins workers that may be waiting for the GIL in a tick function. Never throws.
  ~NativeThreadEngine() {
    std::shared_ptr<ThreadEngine> engine = take();
    if (!engine) return;
    if (PyGILState_Check() != 0) {
      ReleasedGil release;
      shut_down(std::move(engine));
    } else {
      shut_down(std::move(engine));
    }
  }
  NativeThreadEngine(const NativeThreadEngine&) = delete;
  NativeThreadEngine& operator=(const NativeThreadEngine&) = delete;

  // The engine; RuntimeError once closed. Thread-safe.
  std::shared_ptr<ThreadEngine> get() const {
    std::lock_guard lock(mutex_);
    if (!engine_) throw kelmora::RuntimeError("this ThreadEngine has been closed");
    return engine_;
  }

  // Stops all trees and drops the engine; later operations raise RuntimeError. Call without the
  // GIL. Thread-safe; never throws.
  void close() noexcept { shut_down(take()); }

  bool closed() const {
    std::lock_guard lock(mutex_);
    return engine_ == nullptr;
  }

 private:
  std::shared_ptr<ThreadEngine> take() noexcept {
    std::lock_guard lock(mutex_);
    return std::move(engine_);
  }

  // Dropping the last reference destroys the engine, which stops all its trees (and logs as
  // stop_all_trees does). While other threads are still inside operations, their references keep
  // it alive: its trees are then stopped here, which also ends a tick loop they wait for, and the
  // last of them destroys it.
  static void shut_down(std::shared_ptr<ThreadEngine> engine) noexcept {
    if (engine && engine.use_count() > 1) {
      try {
        engine->stop_all_trees();
      } catch (const std::exception& e) {
        kelmora::log::error(std::string("closing the thread engine: ") + e.what());
      }
    }
  }

  mutable std::mutex mutex_;
  std::shared_ptr<ThreadEngine> engine_;
};

// Runs fn(engine) with the GIL released. The engine is taken while the GIL is still held, so
// that callers on several Python threads never meet at the engine's lock (they hold the GIL in
// turn anyway); its reference is dropped before the GIL is taken back, so that a destruction it
// may cause never waits for workers while holding the GIL.
template <class Fn>
auto without_gil(const NativeThreadEngine& self, Fn fn) {
  std::shared_ptr<ThreadEngine> engine = self.get();
  ReleasedGil release;
  const std::shared_ptr<ThreadEngine> held = std::move(engine);  // dropped first
  return fn(*held);
}

// A command record from its Python dict: `type` as a str, none or any other value (matching no
// type); `params` as a map when it is a dict with str keys, else as the value it is (one that
// makes every type reading a parameter fail). Not thread-safe: call with the GIL held.
host::CommandRecord command_record(const py::dict& command) {
  host::CommandRecord record;
  if (command.contains("type")) {
    py::object type = command["type"];
    if (PyUnicode_Check(type.ptr())) {
      record.type = encode(type);
    } else {
      record.type = to_any(type);
    }
  }
  if (command.contains("params")) {
    py::object params = command["params"];
    bool map = PyDict_Check(params.ptr()) != 0;
    if (map) {
      for (auto item : py::reinterpret_borrow<py::dict>(params)) {
        if (!PyUnicode_Check(item.first.ptr())) {
          map = false;
          break;
        }
      }
    }
    record.params = map ? std::any(to_params(params, "params")) : to_any(params);
  }
  return record;
}

// A Python callable as a transition observer: called with the GIL, with one dict per transition
// (tree_id, node_id, name, registration_id, path, previous, status, time as time.monotonic()
// gives it, wall_time as time.time() gives it). An exception it raises goes to the engine as a
// RuntimeError with its text (the engine logs it and removes the observer).
observe::TransitionCallback to_transition_callback(py::object callable) {
  if (!PyCallable_Check(callable.ptr())) {
    throw py::type_error("callback must be callable, not " + type_name(callable));
  }
  PyValueRef held = hold(std::move(callable));
  return [held](const observe::TransitionRecord& r) {
    if (!python_usable()) return;
    AcquiredGil gil;
    try {
      py::dict record;
      record["tree_id"] = decode(r.tree_id);
      record["node_id"] = r.node_id;
      record["name"] = decode(r.name);
      record["registration_id"] = decode(r.registration_id);
      record["path"] = decode(r.path);
      record["previous"] = status_object(r.previous);
      record["status"] = status_object(r.status);
      record["time"] = std::chrono::duration<double>(r.time.time_since_epoch()).count();
      record["wall_time"] = std::chrono::duration<double>(r.wall_time.time_since_epoch()).count();
      held->object()(record);
    } catch (py::error_already_set& e) {
      throw kelmora::RuntimeError(error_text(e));
    }
  };
}

}  // namespace

void bind_engine(py::module_& m) {
  py::class_<TreeInfo>(m, "TreeInfo", "What a ThreadEngine holds about one tree. Read-only.")
      .def_property_readonly(
          "tree_id", [](const TreeInfo& t) { return decode(t.tree_id); }, "The tree's id.")
      .def_property_readonly(
          "xml_text", [](const TreeInfo& t) { return decode(t.xml_text); },
          "The XML the tree was created from.")
      .def_property_readonly(
          "file_path",
          [](const TreeInfo& t) -> py::object {
            if (!t.file_path) return py::none();
            return decode(*t.file_path);
          },
          "The file the XML was read from; None for a tree created from text.")
      .def_property_readonly(
          "tree_name",
          [](const TreeInfo& t) -> py::object {
            if (!t.tree_name) return py::none();
            return decode(*t.tree_name);
          },
          "The ID of the registered BehaviorTree it was created from; None otherwise.")
      .def_property_readonly(
          "created_at",
          [](const TreeInfo& t) {
            return std::chrono::duration<double>(t.created_at.time_since_epoch()).count();
          },
          "When the tree was created, in seconds since the epoch (as time.time() gives them).")
      .def("__repr__", [](const TreeInfo& t) {
        return decode_message("<TreeInfo " + t.tree_id +
                              (t.file_path ? " from " + *t.file_path : std::string()) + ">");
      });

  m.def(
      "process_command",
      [](SequentialEngine& engine, const py::dict& command, const std::string& tree_id) {
        const host::CommandRecord record = command_record(command);
        std::optional<host::ResultRecord> result;
        {
          ReleasedGil release;  // the engine's Python tick functions take the GIL back
          host::process_command(engine, record, tree_id, result);
        }
        return py::make_tuple(decode(result->result_type), decode(result->result_tree_id),
                              from_any(result->result_value));
      },
      py::arg("engine"), py::arg("command"), py::arg("tree_id"),
      "Carries out one command record on the engine and returns its result record "
      "(result_type, result_tree_id, result_value); logs the line of an unknown or failed "
      "command.");

  py::class_<NativeThreadEngine>(m, "ThreadEngine",
                                 "The C++ thread engine. Use "
                                 "kelmora.engine.trigger.mthread.ThreadEngine instead.")
      .def(py::init([](py::handle tick_period) {
             engine::trigger::EngineOptions options;
             if (!tick_period.is_none()) options.tick_period = to_period(tick_period);
             ReleasedGil release;
             return std::make_unique<NativeThreadEngine>(options);
           }),
           py::arg("tick_period") = py::none())
      .def(
          "set_tick_period",
          [](const NativeThreadEngine& self, const std::string& tree_id, py::handle seconds) {
            const auto period = to_period(seconds);
            without_gil(self, [&](ThreadEngine& e) { e.set_tick_period(tree_id, period); });
          },
          py::arg("tree_id"), py::arg("seconds"),
          "Sets the longest wait, in seconds, between two RUNNING ticks of the tree's tick loops.")
      .def(
          "emit_wake_up_signal",
          [](const NativeThreadEngine& self, const std::string& tree_id) {
            without_gil(self, [&](ThreadEngine& e) { e.emit_wake_up_signal(tree_id); });
          },
          py::arg("tree_id"),
          "Makes the tree's tick loop, waiting between RUNNING ticks, tick at once.")
      .def(
          "register_action_behavior",
          [](const NativeThreadEngine& self, const std::string& action_id, py::object tick_functor,
             py::handle ports_list) {
            core::TickFunctor tick = to_tick_functor(std::move(tick_functor));
            core::PortsList ports = to_ports_list(ports_list, "ports_list");
            without_gil(self, [&](ThreadEngine& e) {
              e.register_action_behavior(action_id, std::move(tick), std::move(ports));
            });
          },
          py::arg("action_id"), py::arg("tick_functor"), py::arg("ports_list"),
          "Registers an action for the trees created afterwards.")
      .def(
          "register_condition_behavior",
          [](const NativeThreadEngine& self, const std::string& condition_id,
             py::object tick_functor, py::handle ports_list) {
            core::TickFunctor tick = to_tick_functor(std::move(tick_functor));
            core::PortsList ports = to_ports_list(ports_list, "ports_list");
            without_gil(self, [&](ThreadEngine& e) {
              e.register_condition_behavior(condition_id, std::move(tick), std::move(ports));
            });
          },
          py::arg("condition_id"), py::arg("tick_functor"), py::arg("ports_list"),
          "Registers a condition for the trees created afterwards.")
      .def(
          "register_node_class",
          [](const NativeThreadEngine& self, py::handle node_class, py::handle node_id) {
            std::optional<std::string> id = node_id_argument(node_id);
            core::NodeClass cls = python_node_class(node_class);
            without_gil(self, [&](ThreadEngine& e) { e.register_node_class(cls, std::move(id)); });
          },
          py::arg("node_class"), py::arg("node_id") = py::none(),
          "Registers a node class for the trees created afterwards.")
      .def(
          "_reject_action_class",
          [](const NativeThreadEngine& self, const std::string& class_name) {
            ActionClass cls;
            cls.name = class_name;
            cls.derives_from_simple_action_node = false;
            without_gil(self, [&](ThreadEngine& e) { e.register_action_class(cls); });
          },
          py::arg("class_name"),
          "Logs and raises the TypeError for a class not derived from SimpleActionNode.")
      .def(
          "create_tree_from_text",
          [](const NativeThreadEngine& self, const std::string& xml_text,
             std::optional<std::string> tree_id) {
            return without_gil(self, [&](ThreadEngine& e) {
              return e.create_tree_from_text(xml_text, std::move(tree_id));
            });
          },
          py::arg("xml_text"), py::arg("tree_id") = py::none(),
          "Creates a tree and starts its worker; returns the tree's id at once.")
      .def(
          "create_tree_from_file",
          [](const NativeThreadEngine& self, py::handle file_path,
             std::optional<std::string> tree_id) {
            const std::string path = fs_path(file_path);
            return without_gil(self, [&](ThreadEngine& e) {
              return e.create_tree_from_file(path, std::move(tree_id));
            });
          },
          py::arg("file_path"), py::arg("tree_id") = py::none(),
          "Reads the tree file (refusing folders, devices and pipes unread) and creates the tree "
          "from its text; a file that cannot be read raises OSError or UnicodeDecodeError.")
      .def(
          "create_tree_by_name",
          [](const NativeThreadEngine& self, const std::string& tree_name,
             std::optional<std::string> tree_id) {
            return without_gil(self, [&](ThreadEngine& e) {
              return e.create_tree_by_name(tree_name, std::move(tree_id));
            });
          },
          py::arg("tree_name"), py::arg("tree_id") = py::none(),
          "Creates a tree from the registered BehaviorTree with this ID; returns the tree id.")
      .def(
          "register_scripting_enum",
          [](const NativeThreadEngine& self, py::handle name_or_enum, py::handle value) {
            auto values = scripting_enum_values(name_or_enum, value);
            without_gil(self, [&](ThreadEngine& e) { e.register_scripting_enums(values); });
          },
          py::arg("name"), py::arg("value") = py::none(),
          "Registers an enum name scripts use as a number: (name, value), or a whole enum class.")
      .def(
          "register_tree_text",
          [](const NativeThreadEngine& self, const std::string& xml_text) {
            return without_gil(self,
                               [&](ThreadEngine& e) { return e.register_tree_text(xml_text); });
          },
          py::arg("xml_text"), "Registers every BehaviorTree of the XML text; returns their IDs.")
      .def(
          "register_tree_file",
          [](const NativeThreadEngine& self, py::handle path) {
            const std::string file = fs_path(path);
            return without_gil(self, [&](ThreadEngine& e) { return e.register_tree_file(file); });
          },
          py::arg("path"), "Registers every BehaviorTree of the file; returns their IDs.")
      .def(
          "register_tree_folder",
          [](const NativeThreadEngine& self, py::handle path) {
            const std::string folder = fs_path(path);
            return without_gil(self,
                               [&](ThreadEngine& e) { return e.register_tree_folder(folder); });
          },
          py::arg("path"), "Registers every BehaviorTree of every *.xml file below the folder.")
      .def(
          "get_tree_ids",
          [](const NativeThreadEngine& self) {
            return without_gil(self, [](ThreadEngine& e) { return e.get_tree_ids(); });
          },
          "The ids of all trees, in creation order.")
      .def(
          "trees",
          [](const NativeThreadEngine& self) {
            return without_gil(self, [](ThreadEngine& e) { return e.trees(); });
          },
          "A TreeInfo for each tree, in creation order.")
      .def(
          "_check_tree_exists",
          [](const NativeThreadEngine& self, const std::string& tree_id) {
            without_gil(self, [&](ThreadEngine& e) { host::check_tree_exists(e, tree_id); });
          },
          py::arg("tree_id"))
      .def(
          "_send_command",
          [](const NativeThreadEngine& self, const std::string& tree_id,
             const std::string& command_type, py::handle params) {
            std::optional<core::AnyMap> p;
            if (!params.is_none()) p = to_params(params, "params");
            // On the main thread the wait looks for Ctrl-C: it cancels the tree's tick loop (the
            // tree is halted on its worker) or the wait for the tree's turn, and is raised here.
            InterruptWatch watch;
            std::optional<engine::trigger::details::Mailbox::CallerPoll> poll;
            if (watch.active()) {
              poll.emplace();
              poll->interrupted = [&watch] { return watch.check(); };
              poll->every = InterruptWatch::kEvery;
            }
            // Whatever the command gave, a Ctrl-C the wait saw is what the caller gets (as it
            // would be, raised at the caller's next line, had the wait not looked for it).
            std::any result;
            try {
              result = without_gil(self, [&](ThreadEngine& e) {
                return host::send_command(e, tree_id, command_type, std::move(p),
                                          poll ? &*poll : nullptr);
              });
            } catch (...) {
              watch.raise_if_interrupted();
              throw;
            }
            if (watch.raised()) watch.raise();
            return from_any(result);
          },
          py::arg("tree_id"), py::arg("command_type"), py::arg("params") = py::none())
      .def(
          "stop_tree",
          [](const NativeThreadEngine& self, const std::string& tree_id) {
            without_gil(self, [&](ThreadEngine& e) { e.stop_tree(tree_id); });
          },
          py::arg("tree_id"), "Ends the tree's worker, waits for it and removes the tree.")
      .def(
          "stop_all_trees",
          [](const NativeThreadEngine& self) {
            without_gil(self, [](ThreadEngine& e) { e.stop_all_trees(); });
          },
          "Stops every tree in creation order.")
      .def(
          "add_observer",
          [](const NativeThreadEngine& self, py::object callback,
             std::optional<std::string> tree_id) {
            observe::TransitionCallback call = to_transition_callback(std::move(callback));
            return without_gil(self, [&](ThreadEngine& e) {
              return e.add_transition_observer(std::move(call), std::move(tree_id));
            });
          },
          py::arg("callback"), py::arg("tree_id") = py::none(),
           "Calls callback(transition) on the worker after each tick step of the tree (every tree "
           "when tree_id is None); returns the observer id.")
      .def(
          "remove_observer",
          [](const NativeThreadEngine& self, ThreadEngine::ObserverId id) {
            return without_gil(self, [&](ThreadEngine& e) { return e.remove_observer(id); });
          },
          py::arg("observer_id"), "Detaches an observer; False when the id is unknown.")
      .def(
          "start_recording",
          [](const NativeThreadEngine& self, py::handle path) {
            const std::string file = fs_path(path);
            without_gil(self, [&](ThreadEngine& e) { e.start_recording(file); });
          },
          py::arg("path"), "Records every transition of every tree to the SQLite database at path.")
      .def(
          "stop_recording",
          [](const NativeThreadEngine& self) {
            without_gil(self, [](ThreadEngine& e) { e.stop_recording(); });
          },
          "Stops recording, after the writer has written what was recorded.")
      .def(
          "serve_monitor",
          [](const NativeThreadEngine& self, const std::string& host, int port) {
            return without_gil(self, [&](ThreadEngine& e) { return e.serve_monitor(host, port); });
          },
          py::arg("host") = "127.0.0.1", py::arg("port") = 0,
           "Starts the live monitor page over HTTP and returns its URL.")
      .def(
          "stop_monitor",
          [](const NativeThreadEngine& self) {
            without_gil(self, [](ThreadEngine& e) { e.stop_monitor(); });
          },
          "Stops the monitor's HTTP server.")
      .def(
          "tree_to_dot",
          [](const NativeThreadEngine& self, const std::string& tree_id) {
            return decode(
                without_gil(self, [&](ThreadEngine& e) { return e.tree_to_dot(tree_id); }));
          },
          py::arg("tree_id"), "The tree drawn as Graphviz text, with current statuses.")
      .def("close", &NativeThreadEngine::close, py::call_guard<ReleasedGil>(),
           "Drops the engine, stopping all its trees; later operations raise RuntimeError.")
      .def_property_readonly("closed", &NativeThreadEngine::closed,
                             "Whether close() has been called.");
}

}  // namespace kelmora::python
