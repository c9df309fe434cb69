#pragma once
// Ports: how a node type declares the inputs and outputs its XML element binds, and how one
// element binds them.
//
// A registration describes its ports as string maps (PortDescription, the form the thread engine
// and the Python module pass around). The factory turns them, once, into typed descriptions
// (PortInfo); the tree builder turns each element's attributes, once, into bindings (PortBinding)
// that the node keeps beside its ports. Reading a port while ticking uses those: nothing is looked
// up in string maps or parsed again per tick.

#include <any>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora::core {

// One port as registered: a string map with the keys "name", "type" ("string" or "object"),
// "direction" ("input" or "output") and "description" (free text).
using PortDescription = std::map<std::string, std::string>;

// The ports of one action, in declaration order.
using PortsList = std::vector<PortDescription>;

// Builds a port description with its four keys.
inline PortDescription make_port(std::string name, std::string type, std::string direction,
                                 std::string description = "") {
  return {{"name", std::move(name)},
          {"type", std::move(type)},
          {"direction", std::move(direction)},
          {"description", std::move(description)}};
}

// Which way a port carries values. An INOUT port is read and written through one entry.
enum class PortDirection { INPUT, OUTPUT, INOUT };

// "input", "output" or "inout". Thread-safe.
std::string_view to_string(PortDirection direction) noexcept;

// What a port carries. Registered actions declare STRING (read as text) or OBJECT (a value of any
// kind); the standard nodes also use INT (an integer), UINT (an integer >= 0) and BOOL, whose
// literals are converted when the tree is built.
enum class PortType { STRING, OBJECT, INT, UINT, BOOL };

// "string", "object", "int", "uint" or "bool". Thread-safe.
std::string_view to_string(PortType type) noexcept;

// A port's typed description, as the factory keeps it.
struct PortInfo {
  std::string name;
  PortDirection direction = PortDirection::INPUT;
  PortType type = PortType::STRING;
  std::string description;

  // Whether a tick may read it (INPUT, INOUT) or write it (OUTPUT, INOUT).
  bool readable() const noexcept { return direction != PortDirection::OUTPUT; }
  bool writable() const noexcept { return direction != PortDirection::INPUT; }
};

// How one element binds one port, resolved when the tree is built.
struct PortBinding {
  enum class Kind {
    UNBOUND,  // the element does not give the port
    LITERAL,  // a literal: `text` as written
    ENTRY,    // a blackboard entry: `text` is its key ("{=}" already replaced by the port's name)
  };
  Kind kind = Kind::UNBOUND;
  std::string text;
  // A LITERAL of an INT, UINT or BOOL port: the converted value (std::int64_t or bool), so that
  // ticks do not parse it again. Empty otherwise.
  std::any value;

  static PortBinding literal(std::string text, std::any value = {}) {
    return {Kind::LITERAL, std::move(text), std::move(value)};
  }
  static PortBinding entry(std::string key) { return {Kind::ENTRY, std::move(key), {}}; }
  bool bound() const noexcept { return kind != Kind::UNBOUND; }
};

}  // namespace kelmora::core
