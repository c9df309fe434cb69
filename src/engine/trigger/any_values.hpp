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

// The value as a 64-bit integer when it holds a C++ integer type (bool and character types are
// not integers here); std::nullopt otherwise.
std::optional<std::int64_t> any_integer(const std::any& value);

// TypeError "Expected <expected>, got <kind of value, cut to 200 characters>".
TypeError kind_error(const std::string& expected, const std::any& value);

}  // namespace kelmora::engine::trigger::details
