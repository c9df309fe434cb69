#include "values.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace kelmora::core::scripting {

Value Value::integer(std::int64_t value) noexcept {
  Value v;
  v.set_integer(value);
  return v;
}

Value Value::real(double value) noexcept {
  Value v;
  v.set_real(value);
  return v;
}

Value Value::string(std::string text) noexcept {
  Value v;
  v.kind_ = Kind::string;
  v.text_ = std::move(text);
  return v;
}

void Value::set_integer(std::int64_t value) noexcept {
  kind_ = Kind::integer;
  integer_ = value;
}

void Value::set_real(double value) noexcept {
  kind_ = Kind::real;
  real_ = value;
}

void Value::set_string(std::string_view text) {
  kind_ = Kind::string;
  text_.assign(text);
}

std::string Value::to_text() const {
  switch (kind_) {
    case Kind::integer:
      return std::to_string(integer_);
    case Kind::real:
      return std::to_string(real_);
    case Kind::string:
      break;
  }
  return text_;
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Value::Kind::integer:
      return a.integer_ == b.integer_;
    case Value::Kind::real:
      return a.real_ == b.real_ || (std::isnan(a.real_) && std::isnan(b.real_));
    case Value::Kind::string:
      break;
  }
  return a.text_ == b.text_;
}

namespace detail {

std::optional<std::int64_t> whole_integer(double value) noexcept {
  // 2^63 is exact as a double; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(value >= -kLimit && value < kLimit) || std::trunc(value) != value) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<Value> text_to_number(std::string_view text, const EnumRegistry* enums) {
  if (text.empty()) return std::nullopt;
  if (text == "true") return Value::real(1.0);
  if (text == "false") return Value::real(0.0);
  const char first = text.front();
  const bool numeric_start = (first >= '0' && first <= '9') || first == '-' || first == '.';
  if (!numeric_start) {
    if (enums != nullptr) {
      if (auto value = enums->find(text)) return Value::real(static_cast<double>(*value));
    }
    return std::nullopt;
  }
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  const bool negative = first == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    std::uint64_t magnitude = 0;
    const char* hex = digits.data() + 2;
    const auto [ptr, ec] = std::from_chars(hex, end, magnitude, 16);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    if (negative ? magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1
                 : magnitude > static_cast<std::uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    const auto value =
        negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return Value::integer(value);
  }
  std::int64_t integer = 0;
  if (const auto [ptr, ec] = std::from_chars(begin, end, integer);
      ec == std::errc() && ptr == end) {
    return Value::integer(integer);
  }
  // Only digits, one '.', an exponent and signs: from_chars would also take "inf" and "nan".
  for (const char c : digits) {
    const bool allowed =
        (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
    if (!allowed) return std::nullopt;
  }
  double real = 0.0;
  const auto [ptr, ec] = std::from_chars(begin, end, real);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return Value::real(real);
}

std::string show(const Value& value) {
  if (value.kind() == Value::Kind::real) return fmt::format("{}", value.as_real());
  if (value.is_number()) return value.to_text();
  constexpr std::size_t kMaxShown = 60;
  const std::string& text = value.as_string();
  if (text.size() <= kMaxShown) return "'" + text + "'";
  return "'" + text.substr(0, kMaxShown) + "...'";
}

std::string_view kind_name(const Value& value) noexcept {
  return value.is_string() ? "a string" : "a number";
}

}  // namespace detail
}  // namespace kelmora::core::scripting
