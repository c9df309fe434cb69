#pragma once
// Port descriptions: how an action node declares the inputs and outputs its XML element binds.

#include <map>
#include <string>
#include <vector>

namespace kelmora::core {

// One port: a string map with the keys "name", "type" ("string" or "object"), "direction"
// ("input" or "output") and "description" (free text).
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

}  // namespace kelmora::core
