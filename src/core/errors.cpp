#include <kelmora/core/errors.hpp>

namespace kelmora {

std::string_view to_string(Errc code) noexcept {
  switch (code) {
    case Errc::value_error:
      return "value_error";
    case Errc::type_error:
      return "type_error";
    case Errc::attribute_error:
      return "attribute_error";
    case Errc::runtime_error:
      return "runtime_error";
    case Errc::command_failed:
      return "command_failed";
    case Errc::worker_failed:
      return "worker_failed";
    case Errc::worker_ended:
      return "worker_ended";
    case Errc::own_thread:
      return "own_thread";
    case Errc::wait_cycle:
      return "wait_cycle";
    case Errc::inherited:
      return "inherited";
    case Errc::engine_closing:
      return "engine_closing";
    case Errc::tree_build:
      return "tree_build";
    case Errc::port:
      return "port";
    case Errc::node_tick:
      return "node_tick";
    case Errc::tree_stopped:
      return "tree_stopped";
    case Errc::no_tree:
      return "no_tree";
    case Errc::tree_file:
      return "tree_file";
    case Errc::model_server:
      return "model_server";
    case Errc::script_parse:
      return "script_parse";
    case Errc::script_eval:
      return "script_eval";
  }
  return "unknown";
}

}  // namespace kelmora
