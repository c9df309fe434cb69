#pragma once
// Small text helpers shared by kelmora's libraries (the core and the model-server client).
// Internal: reached through each library's private include path, never installed.

#include <string_view>

namespace kelmora::common {

// ASCII white space, as std::isspace gives it in the "C" locale.
inline constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// `text` without the white space at both ends. Thread-safe.
constexpr std::string_view trim(std::string_view text) noexcept {
  const auto first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

}  // namespace kelmora::common
