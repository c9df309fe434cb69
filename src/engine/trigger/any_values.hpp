#pragma once
// Kind checks on values of any kind, as the thread engine's typed operations and the sequential
// worker engine need them. Thread-safe: pure functions.

#include <any>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <optional>
#include <string>

namespace kelmora::engine::trigger::details {

// core::any_as_integer: the value as a 64-bit integer when it holds a C++ integer type whose
// value fits (bool and character types are not integers here); std::nullopt otherwise.
std::optional<std::int64_t> any_integer(const std::any& value);

// The kind of a value as the host protocol's messages spell it, in the words of the Python host
// it serves: "NoneType", "str", "int", "float", "bool", "dict", "list", "NodeStatus"; any other
// value as core::any_kind_name names it.
std::string protocol_kind_name(const std::any& value);

// TypeError "Expected <expected>, got <protocol_kind_name, cut to 200 characters>".
TypeError kind_error(const std::string& expected, const std::any& value);

}  // namespace kelmora::engine::trigger::details
