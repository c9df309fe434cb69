#include "lexer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <kelmora/core/scripting.hpp>
#include <limits>
#include <string>
#include <system_error>

namespace kelmora::core::scripting::detail {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// A character as messages show it: 'x' when printable, else its byte value.
std::string show_char(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) return fmt::format("'{}'", c);
  return fmt::format("byte 0x{:02X}", byte);
}

class Lexer {
 public:
  explicit Lexer(std::string_view code) : code_(code) {}

  std::vector<Token> run() {
    std::vector<Token> tokens;
    tokens.reserve(std::min<std::size_t>(code_.size() / 2 + 2, 256));
    int depth = 0;  // parentheses open: a new line inside them is plain white space
    while (true) {
      skip_blanks(depth);
      Token token;
      token.position = static_cast<std::uint32_t>(i_);
      if (i_ >= code_.size()) {
        token.type = Tok::end;
        tokens.push_back(token);
        return tokens;
      }
      const char c = code_[i_];
      if (c == '\n' || c == ';') {
        token.type = Tok::separator;
        ++i_;
      } else if (is_digit(c)) {
        number(token);
      } else if (is_name_start(c)) {
        token.type = Tok::name;
        token.text = name_at(i_);
        i_ += token.text.size();
      } else if (c == '@') {
        if (i_ + 1 >= code_.size() || !is_name_start(code_[i_ + 1])) {
          fail(i_ + 1, "Expected an entry name after '@'");
        }
        token.type = Tok::root_name;
        token.text = name_at(i_ + 1);
        i_ += 1 + token.text.size();
      } else if (c == '\'') {
        const auto close = code_.find('\'', i_ + 1);
        if (close == std::string_view::npos) fail(i_, "Unterminated string");
        token.type = Tok::string;
        token.text = code_.substr(i_ + 1, close - i_ - 1);
        i_ = close + 1;
      } else {
        symbol(token, depth);
      }
      token.length = static_cast<std::uint32_t>(i_ - token.position);
      tokens.push_back(token);
    }
  }

 private:
  [[noreturn]] void fail(std::size_t position, std::string reason) const {
    throw ScriptParseError(std::string(code_), position, std::move(reason));
  }

  void skip_blanks(int depth) {
    while (i_ < code_.size()) {
      const char c = code_[i_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v' ||
          (c == '\n' && depth > 0)) {
        ++i_;
      } else {
        return;
      }
    }
  }

  std::string_view name_at(std::size_t start) const {
    std::size_t end = start;
    while (end < code_.size() && is_name_char(code_[end])) ++end;
    return code_.substr(start, end - start);
  }

  char at(std::size_t index) const { return index < code_.size() ? code_[index] : '\0'; }

  // A number: decimal or 0x hexadecimal integer, or a real with a fraction and/or an exponent.
  // A letter, digit or `_` straight after it makes it malformed ("12abc", "1e3x").
  void number(Token& token) {
    const std::size_t start = i_;
    if (code_[i_] == '0' && (at(i_ + 1) == 'x' || at(i_ + 1) == 'X')) {
      std::size_t end = i_ + 2;
      while (is_hex_digit(at(end))) ++end;
      if (end == i_ + 2) fail(start, "Invalid number: '0x' needs hexadecimal digits");
      if (is_name_char(at(end))) fail(start, "Invalid number");
      std::uint64_t value = 0;
      const auto [ptr, ec] = std::from_chars(code_.data() + i_ + 2, code_.data() + end, value, 16);
      if (ec != std::errc() || value > static_cast<std::uint64_t>(INT64_MAX)) {
        fail(start, "Integer literal out of range (64-bit signed)");
      }
      token.type = Tok::integer;
      token.integer = static_cast<std::int64_t>(value);
      i_ = end;
      return;
    }
    std::size_t end = i_;
    while (is_digit(at(end))) ++end;
    bool is_real = false;
    if (at(end) == '.' && at(end + 1) != '.') {
      if (!is_digit(at(end + 1))) fail(end, "Expected digits after the decimal point");
      ++end;
      while (is_digit(at(end))) ++end;
      is_real = true;
    }
    if (at(end) == 'e' || at(end) == 'E') {
      std::size_t exponent = end + 1;
      if (at(exponent) == '+' || at(exponent) == '-') ++exponent;
      if (!is_digit(at(exponent))) fail(start, "Invalid number: the exponent needs digits");
      while (is_digit(at(exponent))) ++exponent;
      end = exponent;
      is_real = true;
    }
    if (is_name_char(at(end))) fail(start, "Invalid number");
    const char* first = code_.data() + start;
    const char* last = code_.data() + end;
    if (is_real) {
      double value = 0.0;
      const auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec != std::errc() || ptr != last) fail(start, "Real literal out of range");
      token.type = Tok::real;
      token.real = value;
    } else {
      std::int64_t value = 0;
      const auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec != std::errc() || ptr != last) {
        fail(start, "Integer literal out of range (64-bit signed)");
      }
      token.type = Tok::integer;
      token.integer = value;
    }
    i_ = end;
  }

  // Operators and punctuation; the longest spelling wins (`:=` before `:`, `..` before `.`).
  void symbol(Token& token, int& depth) {
    const char c = code_[i_];
    const char next = at(i_ + 1);
    auto take = [&](Tok type, std::size_t length) {
      token.type = type;
      i_ += length;
    };
    switch (c) {
      case '(':
        ++depth;
        return take(Tok::left_paren, 1);
      case ')':
        if (depth > 0) --depth;
        return take(Tok::right_paren, 1);
      case '?':
        return take(Tok::question, 1);
      case ':':
        return next == '=' ? take(Tok::assign_create, 2) : take(Tok::colon, 1);
      case '+':
        return next == '=' ? take(Tok::plus_assign, 2) : take(Tok::plus, 1);
      case '-':
        return next == '=' ? take(Tok::minus_assign, 2) : take(Tok::minus, 1);
      case '*':
        if (next == '*') fail(i_, "There is no operator '**'");
        return next == '=' ? take(Tok::star_assign, 2) : take(Tok::star, 1);
      case '/':
        return next == '=' ? take(Tok::slash_assign, 2) : take(Tok::slash, 1);
      case '.':
        if (next == '.') return take(Tok::concat, 2);
        if (is_digit(next)) fail(i_, "A number must start with a digit: write 0.5, not .5");
        break;
      case '&':
        return next == '&' ? take(Tok::and_and, 2) : take(Tok::amp, 1);
      case '|':
        return next == '|' ? take(Tok::or_or, 2) : take(Tok::pipe, 1);
      case '^':
        return take(Tok::caret, 1);
      case '~':
        return take(Tok::tilde, 1);
      case '!':
        return next == '=' ? take(Tok::not_equal, 2) : take(Tok::bang, 1);
      case '=':
        return next == '=' ? take(Tok::equal, 2) : take(Tok::assign, 1);
      case '<':
        return next == '=' ? take(Tok::less_equal, 2) : take(Tok::less, 1);
      case '>':
        return next == '=' ? take(Tok::greater_equal, 2) : take(Tok::greater, 1);
      case '%':
        fail(i_, "There is no operator '%'");
      case '"':
        fail(i_, "Strings are written in single quotes");
      default:
        break;
    }
    fail(i_, "Unexpected character " + show_char(c));
  }

  std::string_view code_;
  std::size_t i_ = 0;
};

}  // namespace

std::vector<Token> tokenize(std::string_view code) { return Lexer(code).run(); }

std::string spelling(const Token& token, std::string_view code) {
  switch (token.type) {
    case Tok::end:
      return "the end of the script";
    case Tok::separator:
      return code[token.position] == ';' ? "';'" : "a new line";
    case Tok::string:  // already in quotes
      return std::string(code.substr(token.position, token.length));
    default:
      return fmt::format("'{}'", code.substr(token.position, token.length));
  }
}

}  // namespace kelmora::core::scripting::detail
