#pragma once
// nested_of<E>(error): the exception of type E nested, at any depth, in `error` (through
// std::nested_exception layers, as kelmora's errors carry their causes).

#include <exception>
#include <optional>

namespace kelmora::testing {

template <class E>
std::optional<E> nested_of(const std::exception& error) {
  try {
    std::rethrow_if_nested(error);
  } catch (const E& e) {
    return e;
  } catch (const std::exception& inner) {
    return nested_of<E>(inner);
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace kelmora::testing
