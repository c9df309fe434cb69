#include "any_values.hpp"

#include <cstddef>
#include <kelmora/core/node_status.hpp>
#include <string_view>
#include <vector>

namespace kelmora::engine::trigger::details {
namespace {

template <class T>
bool holds(const std::any& value) {
  return value.type() == typeid(T);
}

// Kind names are cut like a "%.200s" format would cut them.
constexpr std::size_t kKindNameLimit = 200;

}  // namespace

std::optional<std::int64_t> any_integer(const std::any& value) {
  return core::any_as_integer(value);
}

std::string protocol_kind_name(const std::any& value) {
  if (!value.has_value()) return "NoneType";
  if (holds<std::string>(value) || holds<std::string_view>(value) || holds<const char*>(value)) {
    return "str";
  }
  if (holds<bool>(value)) return "bool";
  if (any_integer(value)) return "int";
  if (holds<double>(value) || holds<float>(value)) return "float";
  if (holds<core::NodeStatus>(value)) return "NodeStatus";
  if (holds<core::AnyMap>(value)) return "dict";
  if (holds<std::vector<std::any>>(value) || holds<std::vector<core::NodeStatus>>(value) ||
      holds<std::vector<std::string>>(value) || holds<std::vector<core::AnyMap>>(value)) {
    return "list";
  }
  return core::any_kind_name(value);
}

TypeError kind_error(const std::string& expected, const std::any& value) {
  std::string kind = protocol_kind_name(value);
  if (kind.size() > kKindNameLimit) kind.resize(kKindNameLimit);
  return TypeError("Expected " + expected + ", got " + kind);
}

}  // namespace kelmora::engine::trigger::details
