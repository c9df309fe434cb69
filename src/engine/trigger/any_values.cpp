#include "any_values.hpp"

#include <cstddef>

namespace kelmora::engine::trigger::details {
namespace {

template <class T>
bool holds(const std::any& value) {
  return value.type() == typeid(T);
}

template <class T>
std::int64_t as_int64(const std::any& value) {
  return static_cast<std::int64_t>(std::any_cast<T>(value));
}

// Kind names are cut like a "%.200s" format would cut them.
constexpr std::size_t kKindNameLimit = 200;

}  // namespace

std::optional<std::int64_t> any_integer(const std::any& value) {
  if (holds<int>(value)) return as_int64<int>(value);
  if (holds<long>(value)) return as_int64<long>(value);
  if (holds<long long>(value)) return as_int64<long long>(value);
  if (holds<short>(value)) return as_int64<short>(value);
  if (holds<unsigned>(value)) return as_int64<unsigned>(value);
  if (holds<unsigned long>(value)) return as_int64<unsigned long>(value);
  if (holds<unsigned long long>(value)) return as_int64<unsigned long long>(value);
  if (holds<unsigned short>(value)) return as_int64<unsigned short>(value);
  return std::nullopt;
}

TypeError kind_error(const std::string& expected, const std::any& value) {
  std::string kind = core::any_kind_name(value);
  if (kind.size() > kKindNameLimit) kind.resize(kKindNameLimit);
  return TypeError("Expected " + expected + ", got " + kind);
}

}  // namespace kelmora::engine::trigger::details
