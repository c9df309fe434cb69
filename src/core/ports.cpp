#include <kelmora/core/ports.hpp>

namespace kelmora::core {

std::string_view to_string(PortDirection direction) noexcept {
  switch (direction) {
    case PortDirection::INPUT:
      return "input";
    case PortDirection::OUTPUT:
      return "output";
    case PortDirection::INOUT:
      return "inout";
  }
  return "unknown";
}

std::string_view to_string(PortType type) noexcept {
  switch (type) {
    case PortType::STRING:
      return "string";
    case PortType::OBJECT:
      return "object";
    case PortType::INT:
      return "int";
    case PortType::UINT:
      return "uint";
    case PortType::BOOL:
      return "bool";
  }
  return "unknown";
}

}  // namespace kelmora::core
