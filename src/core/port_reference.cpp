#include "port_reference.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "common/text.hpp"

namespace kelmora::core::details {

using common::trim;

std::optional<std::string> reference_key(std::string_view value, std::string_view port) {
  const auto text = trim(value);
  if (text.size() < 2 || text.front() != '{' || text.back() != '}') return std::nullopt;
  const auto key = trim(text.substr(1, text.size() - 2));
  if (key == "=") return std::string(port);
  if (key.find_first_of("{}") != std::string_view::npos) return std::string();
  return std::string(key);
}

std::optional<std::int64_t> parse_int(std::string_view text) noexcept {
  text = trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<bool> parse_bool(std::string_view text) noexcept {
  std::string lower(trim(text));
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "true") return true;
  if (lower == "false") return false;
  return std::nullopt;
}

}  // namespace kelmora::core::details
