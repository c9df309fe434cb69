#pragma once
// How a port's XML attribute value is read when the tree is built: a literal text, or a "{key}"
// blackboard reference ("{=}": the entry named like the port); and how port texts are parsed as
// integers and booleans. White space around a value is ignored. Internal to the core.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelmora::core::details {

// The entry key when `value` is a reference ("{key}", "{=}" -> `port`), std::nullopt for a
// literal. A malformed reference ("{}", "{a{b}") gives an empty string.
std::optional<std::string> reference_key(std::string_view value, std::string_view port);

// Strict integer parse of a whole (trimmed) text; std::nullopt when it is not one.
std::optional<std::int64_t> parse_int(std::string_view text) noexcept;
// "true"/"false" in any case; std::nullopt otherwise.
std::optional<bool> parse_bool(std::string_view text) noexcept;

}  // namespace kelmora::core::details
