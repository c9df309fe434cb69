#pragma once
// Conversions between script values, text and entry types, shared by the evaluator and the
// std::any helpers.

#include <cstdint>
#include <kelmora/core/scripting.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kelmora::core::scripting::detail {

// Reads text as a number: a decimal or 0x integer ("42", "-7", "0x1F") as an integer; a decimal
// real ("2.5", "-1e3", ".5") as a real; "true"/"false" and registered enum names as reals. No
// white space, nothing else. Thread-safe.
std::optional<Value> text_to_number(std::string_view text, const EnumRegistry* enums);

// The integer a real stands for, when it is whole and within the 64-bit signed range.
std::optional<std::int64_t> whole_integer(double value) noexcept;

// A value as messages show it: integers in decimal, reals in their shortest exact form (4.5,
// 1e+20, inf), strings in quotes (long ones cut).
std::string show(const Value& value);

// "a number" or "a string".
std::string_view kind_name(const Value& value) noexcept;

}  // namespace kelmora::core::scripting::detail
