#pragma once
// Splits a script into tokens. Numbers are read here, so the parser sees their values.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora::core::scripting::detail {

enum class Tok : std::uint8_t {
  end,
  separator,  // `;`, or a new line outside parentheses
  integer,
  real,
  string,     // text() is the content between the quotes
  name,       // an identifier (true and false included)
  root_name,  // `@name`; text() is the name without `@`
  left_paren,
  right_paren,
  question,
  colon,
  plus,
  minus,
  star,
  slash,
  concat,  // ..
  amp,
  pipe,
  caret,
  tilde,
  bang,
  and_and,
  or_or,
  equal,
  not_equal,
  less,
  less_equal,
  greater,
  greater_equal,
  assign_create,  // :=
  assign,         // =
  plus_assign,
  minus_assign,
  star_assign,
  slash_assign,
};

struct Token {
  Tok type = Tok::end;
  std::uint32_t position = 0;  // byte offset of the token's first character
  std::uint32_t length = 0;    // bytes of the token in the script
  std::int64_t integer = 0;    // Tok::integer
  double real = 0.0;           // Tok::real
  std::string_view text;       // Tok::string, Tok::name, Tok::root_name
};

// The tokens of `code`, ending with one Tok::end at code.size(). Throws ScriptParseError for a
// character or number the language does not have, and for an unterminated string.
std::vector<Token> tokenize(std::string_view code);

// How a token is written, for messages: "')'", "'abc'", "the end of the script".
std::string spelling(const Token& token, std::string_view code);

}  // namespace kelmora::core::scripting::detail
