// kelmora._native's agent layer: Ollama, Agent, ResponseStream and ResponseItem, plus the two C++
// agent node classes' tick functions and ports lists.
//
// Agents, models and streams cross the blackboard as their C++ values (std::shared_ptr), so C++
// nodes and Python tick functions can hand them to each other; pybind11 gives back the same
// Python wrapper for the same object while that wrapper is alive.

#include "py_llm.hpp"

#include <pybind11/stl.h>

#include <kelmora/core/errors.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/errors.hpp>
#include <kelmora/llm/ollama.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <kelmora/llm/server_address.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "py_core.hpp"
#include "py_values.hpp"

namespace kelmora::python {
namespace {

using llm::Agent;
using llm::Ollama;
using llm::ResponseItem;
using llm::ResponseStream;

template <class T>
std::optional<py::object> shared_to_python(const std::any& value) {
  if (const auto* p = std::any_cast<std::shared_ptr<T>>(&value)) return py::cast(*p);
  return std::nullopt;
}

template <class T>
std::optional<std::any> shared_from_python(py::handle object) {
  if (!py::isinstance<T>(object)) return std::nullopt;
  return std::any(object.cast<std::shared_ptr<T>>());
}

void register_converters() {
  ValueConverter c;
  c.to_python = [](const std::any& v) -> std::optional<py::object> {
    if (auto o = shared_to_python<Agent>(v)) return o;
    if (auto o = shared_to_python<ResponseStream>(v)) return o;
    return shared_to_python<Ollama>(v);
  };
  c.from_python = [](py::handle o) -> std::optional<std::any> {
    if (auto v = shared_from_python<Agent>(o)) return v;
    if (auto v = shared_from_python<ResponseStream>(o)) return v;
    return shared_from_python<Ollama>(o);
  };
  c.kind_name = [](const std::any& v) -> std::optional<std::string> {
    if (std::any_cast<std::shared_ptr<Agent>>(&v)) return "Agent";
    if (std::any_cast<std::shared_ptr<ResponseStream>>(&v)) return "ResponseStream";
    if (std::any_cast<std::shared_ptr<Ollama>>(&v)) return "Ollama";
    return std::nullopt;
  };
  add_value_converter(std::move(c));
}

py::list ports_object(const core::PortsList& ports) {
  py::list list;
  for (const auto& port : ports) {
    py::dict d;
    for (const char* key : {"name", "type", "direction", "description"}) {
      d[key] = decode(port.at(key));
    }
    list.append(d);
  }
  return list;
}

// `servers`: several servers to spread the chats over, with failover (Ollama's own rules); with
// `host` too, `host` must be the first of them.
std::shared_ptr<Ollama> make_ollama(std::string id, std::optional<std::string> host,
                                    std::optional<std::vector<std::string>> servers) {
  Ollama::Options options;
  options.id = std::move(id);
  if (host) options.server = llm::parse_ollama_host(*host);
  if (servers) {
    if (servers->empty()) throw kelmora::ValueError("servers must name at least one server");
    for (const std::string& server : *servers) {
      options.servers.push_back(llm::parse_ollama_host(server));
    }
  }
  return std::make_shared<Ollama>(std::move(options));
}

void bind_agent_layer(py::module_& m) {
  py::class_<Ollama, std::shared_ptr<Ollama>>(
      m, "Ollama",
      "A model on an Ollama server (OLLAMA_HOST, `host`, or several `servers`: each chat goes "
      "to the least-loaded one and moves on when one cannot be reached). Making one contacts "
      "no server. Thread-safe.")
      .def(py::init(&make_ollama), py::arg("id"), py::kw_only(), py::arg("host") = py::none(),
           py::arg("servers") = py::none())
      .def_property_readonly(
          "id", [](const Ollama& o) { return decode(o.id()); }, "The model's name.")
      .def_property_readonly(
          "host", [](const Ollama& o) { return o.server().url(); },
          "The URL of the model's (first) server.")
      .def_property_readonly(
          "servers",
          [](const Ollama& o) {
            std::vector<std::string> urls;
            for (const auto& server : o.servers()) urls.push_back(server.url());
            return urls;
          },
          "The URLs of every server of the model, in the order given.")
      .def("__repr__", [](const Ollama& o) {
        return "Ollama(id=" + std::string(py::repr(decode(o.id()))) + ", host='" +
               o.server().url() + "')";
      });

  py::class_<ResponseItem>(m, "ResponseItem", "One piece of an answer.")
      .def_property_readonly(
          "content", [](const ResponseItem& i) { return decode(i.content); }, "The piece's text.")
      .def("__repr__", [](const ResponseItem& i) {
        return "ResponseItem(content=" + std::string(py::repr(decode(i.content))) + ")";
      });

  py::class_<ResponseStream, std::shared_ptr<ResponseStream>>(
      m, "ResponseStream",
      "The pieces of one answer as they arrive; iterate it (on any thread) to take them. A "
      "failure of the chat is raised as ModelServerError once the pieces before it are taken.")
      .def("__iter__", [](py::handle self) { return self; })
      .def("__next__", [](ResponseStream& s) {
        std::optional<ResponseItem> item;
        {
          ReleasedGil release;
          item = s.next();
        }
        if (!item) throw py::stop_iteration();
        return std::move(*item);
      });

  py::class_<Agent, std::shared_ptr<Agent>>(m, "Agent",
                                            "A language-model agent on a model. Making one "
                                            "contacts no server. Thread-safe.")
      .def(py::init([](std::shared_ptr<Ollama> model, std::string description, bool markdown) {
             if (!model) throw py::type_error("model must be Ollama, not None");
             return std::make_shared<Agent>(Agent::Options{
                 .model = std::move(model),
                 .description = std::move(description),
                 .markdown = markdown,
             });
           }),
           py::kw_only(), py::arg("model"), py::arg("description") = "",
           py::arg("markdown") = false)
      .def_property_readonly("model", &Agent::model, "The Ollama model the agent runs on.")
      .def_property_readonly(
          "description", [](const Agent& a) { return decode(a.description()); },
          "The agent's description, the start of its system message.")
      .def_property_readonly("markdown", &Agent::markdown,
                             "Whether the agent asks for answers in markdown.")
      .def_property_readonly(
          "system_message", [](const Agent& a) { return decode(a.system_message()); },
          "The system message sent with every run.")
      .def("run", &Agent::run, py::arg("input"), py::arg("stream") = true,
           py::call_guard<ReleasedGil>(),
           "Starts a run on one user input and returns its ResponseStream at once.");

  // The C++ node classes' parts; kelmora.llm builds Python action node classes from them.
  m.attr("create_agent_ollama_tick") =
      CppTick{&llm::CreateAgentOllama::tick, "CreateAgentOllama.tick"};
  m.attr("create_agent_ollama_ports") = ports_object(llm::CreateAgentOllama::ports);
  m.attr("get_stream_response_tick") =
      CppTick{&llm::GetStreamResponse::tick, "GetStreamResponse.tick"};
  m.attr("get_stream_response_ports") = ports_object(llm::GetStreamResponse::ports);
  m.attr("run_agent_tick") = CppTick{&llm::RunAgent::tick, "RunAgent.tick"};
  m.attr("run_agent_ports") = ports_object(llm::RunAgent::ports);
}

}  // namespace

void bind_llm(py::module_& m) {
  // kelmora.llm.ModelServerError, a subclass of RuntimeError; the module's error translation
  // (py_errors.hpp) raises it, with the failure's server, servers and model.
  py::exception<llm::ModelServerError>(m, "ModelServerError", PyExc_RuntimeError);
  bind_agent_layer(m);
  register_converters();
}

}  // namespace kelmora::python
