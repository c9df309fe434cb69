// Scripts: values of expressions, entries they leave behind, conversions into typed entries,
// parse and evaluation errors (texts and positions), conditions, enums, and the std::any helpers
// a blackboard uses.

#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <kelmora/core/scripting.hpp>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "../fuzz/check_script.hpp"
#include "../fuzz/fuzz_checks.hpp"
#include "support/allocation_counter.hpp"

namespace kelmora::core::scripting {

void PrintTo(const Value& value, std::ostream* os) {
  static constexpr const char* kKinds[] = {"integer", "real", "string"};
  *os << kKinds[static_cast<int>(value.kind())] << " " << value.to_text();
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Value I(std::int64_t v) { return Value::integer(v); }
Value R(double v) { return Value::real(v); }
Value S(std::string v) { return Value::string(std::move(v)); }

enum class Mode { idle = 0, busy = 1, charging = 7 };

const EnumRegistry& test_enums() {
  static const EnumRegistry registry = [] {
    EnumRegistry r;
    r.register_enum("RED", 2);
    r.register_enum("GREEN", 3);
    r.register_enum<Mode>(
        {{"IDLE", Mode::idle}, {"BUSY", Mode::busy}, {"CHARGING", Mode::charging}});
    return r;
  }();
  return registry;
}

// A top-level environment knowing the test enums.
struct Env {
  Env() { env.set_enums(&test_enums()); }
  MemoryEnvironment env;
};

Value run(const std::string& code, MemoryEnvironment& env) {
  return Script::parse(code).evaluate(env);
}

struct ValueCase {
  std::string code;
  Value expected;
};

TEST(ScriptTest, ExpressionsGiveTheirValues) {
  const std::vector<ValueCase> cases = {
      // precedence and associativity
      {"a := 2 + 3 * 4", R(14)},
      {"10 - 4 - 3", R(3)},
      {"2 * 3 / 4", R(1.5)},
      {"8 / 4 / 2", R(1)},
      {"2 * (3 + 4)", R(14)},
      {"1 - -1", R(2)},
      {"0x7F & 0x0F", I(15)},
      {"0x7F | 0xF0", I(255)},
      {"~5", I(-6)},
      {"~1.5", I(-2)},
      {"~-1.5", I(0)},
      {"6 & 3 == 2", R(1)},
      {"1 | 2 ^ 3", I(0)},
      {"0x7F & 0x0F | 0x30", I(0x3F)},
      {"1 + 1 & 3", I(2)},
      {"(1 + 1) & 3.0", I(2)},
      {"RED & 2", I(2)},
      {"true || false && false", R(1)},
      {"1 == 1 && 2 == 2", R(1)},
      {"1 || 0 ? 'y' : 'n'", S("y")},
      // arithmetic is real; literals stay integers only when stored or picked
      {"42", I(42)},
      {"0x10", I(16)},
      {"a := 42", I(42)},
      {"2 + 3", R(5)},
      {"7 / 2", R(3.5)},
      {"1 / 0", R(kInf)},
      {"-1 / 0", R(-kInf)},
      {"-5", R(-5)},
      {"0x10 + 1", R(17)},
      {"1 ? 7 : 8", I(7)},
      {"0 ? 7 : 8.5", R(8.5)},
      {"3.14", R(3.14)},
      {"1e3", R(1000)},
      {"2.5e-1", R(0.25)},
      {"true", R(1)},
      {"false", R(0)},
      {"!0", R(1)},
      {"!5", R(0)},
      {"!!1", R(1)},
      // strings
      {"'ab' + 'cd'", S("abcd")},
      {"'abc' + ''", S("abc")},
      {"1 + 2 .. 'x'", S("3.000000x")},
      {"'v=' .. 1.5", S("v=1.500000")},
      {"'n=' .. 2", S("n=2")},
      {"2 .. 'x'", S("2x")},
      {"'a' .. 'b' .. 'c'", S("abc")},
      {"'a;b'", S("a;b")},
      // comparisons
      {"'abc' < 'abd'", R(1)},
      {"'9' < '10'", R(0)},
      {"'' == ''", R(1)},
      {"'10' == 10", R(1)},
      {"'2.5' > 2", R(1)},
      {"'0x10' == 16", R(1)},
      {"'true' == 1", R(1)},
      {"'RED' == RED", R(1)},
      {"1 != 2", R(1)},
      {"0.1 + 0.2 == 0.3", R(1)},
      {"1 == 1.00000001", R(1)},
      {"1 == 1.001", R(0)},
      {"0.3 <= 0.1 + 0.2", R(1)},
      {"0.1 + 0.2 > 0.3", R(0)},
      {"1 / 0 == 1 / 0", R(1)},
      {"0 / 0 == 0 / 0", R(0)},
      {"0 / 0 != 0 / 0", R(1)},
      {"9007199254740993 == 9007199254740992", R(0)},  // integers compare exactly
      {"1 < 2 < 3", R(1)},
      {"3 > 2 > 2", R(0)},
      {"3 > 2 > 1", R(1)},
      {"1 < 3 < 2", R(0)},
      {"1 < 2 == 1", R(0)},  // (1 < 2) and (2 == 1), not (1 < 2) == 1
      {"1 <= 1 >= 1 != 2", R(1)},
      // ?: is right-associative and picks without converting
      {"x := 5; a := x > 3 ? x > 4 ? 'A' : 'B' : 'C'", S("A")},
      {"x := 4; x > 3 ? x > 4 ? 'A' : 'B' : 'C'", S("B")},
      {"x := 1; x > 3 ? x > 4 ? 'A' : 'B' : 'C'", S("C")},
      {"0 ? 1 : 0 ? 2 : 3", I(3)},
      {"1 ? x := 'set' : 'no'", S("set")},
      // enums
      {"RED", R(2)},
      {"RED + 1", R(3)},
      {"CHARGING == 7", R(1)},
      {"x := RED", R(2)},
      // statements
      {"a := 1;; b := 2;", I(2)},
      {";a := 1\n\nb := a + 1\n", R(2)},
      {"(1 +\n 2)", R(3)},
      {"a := b := 5; a + b", R(10)},
      {"_x := 3; _x", I(3)},
      {"a1_B := 'x'", S("x")},
      {"a := (b := 3) + 1", R(4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Env e;
    try {
      EXPECT_EQ(run(c.code, e.env), c.expected);
    } catch (const Error& error) {
      ADD_FAILURE() << error.what();
    }
  }
}

struct EntryCase {
  std::string code;
  std::vector<std::pair<std::string, Value>> entries;
};

TEST(ScriptTest, AssignmentsStoreAndConvertToTheEntrysType) {
  const std::vector<EntryCase> cases = {
      {"a := (b := 3) + 1", {{"a", R(4)}, {"b", I(3)}}},
      {"a := 42", {{"a", I(42)}}},
      {"a := -5", {{"a", R(-5)}}},
      {"a := 0x0F & 0x3", {{"a", I(3)}}},
      {"a := 1; a += 2", {{"a", I(3)}}},
      {"a := 4; a *= 2.5", {{"a", I(10)}}},
      {"a := 10; a /= 5", {{"a", I(2)}}},
      {"a := 3; a -= 1.0", {{"a", I(2)}}},
      {"r := 1.5; r := 2", {{"r", R(2)}}},
      {"r := 1.5; r = 0x10", {{"r", R(16)}}},
      {"s := 'ab'; s += 'cd'", {{"s", S("abcd")}}},
      {"s := 'x'; s = 'y'", {{"s", S("y")}}},
      {"n := 0; n = '12'", {{"n", I(12)}}},
      {"n := 0; n = '12.0'", {{"n", I(12)}}},
      {"n := 0; n = 'GREEN'", {{"n", I(3)}}},
      {"r := 0.5; r = '2.25'", {{"r", R(2.25)}}},
      {"r := 0.5; r = 'true'", {{"r", R(1)}}},
      // The type stays: a text that reads as a number goes into an integer entry as an integer.
      {"a := 1; a := '25'", {{"a", I(25)}}},
      {"x := RED", {{"x", R(2)}}},
      {"a := 1; b := a; b += 1", {{"a", I(1)}, {"b", I(2)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Env e;
    try {
      run(c.code, e.env);
    } catch (const Error& error) {
      ADD_FAILURE() << error.what();
      continue;
    }
    for (const auto& [name, expected] : c.entries) {
      EXPECT_EQ(e.env.value(name), expected) << name;
    }
  }
}

struct ErrorCase {
  std::string code;
  std::size_t position;
  std::string reason;
};

void expect_errors(const std::vector<ErrorCase>& cases, const std::function<void(Env&)>& setup) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Env e;
    setup(e);
    try {
      const Value v = run(c.code, e.env);
      ADD_FAILURE() << "no error; value " << v.to_text();
    } catch (const ScriptError& error) {
      EXPECT_EQ(error.reason(), c.reason);
      EXPECT_EQ(error.position(), c.position);
      EXPECT_EQ(error.script(), c.code);
      EXPECT_EQ(error.code(), Errc::script_eval);
    }
  }
}

TEST(ScriptTest, EvaluationErrorsNameWhatFailedAndWhere) {
  expect_errors(
      {
          {"a = 1", 0, "Entry 'a' doesn't exist, yet; use [:=] to create it"},
          {"x := a += 1", 5, "Entry 'a' doesn't exist, yet; use [:=] to create it"},
          {"@g = 1", 0, "Entry '@g' doesn't exist, yet; use [:=] to create it"},
          {"missing + 1", 0, "Entry 'missing' doesn't exist"},
          {"'ab' + 1", 5,
           "Operator '+' needs two numbers or two strings, got a string ('ab') and a number (1)"},
          {"1 - 'a'", 2, "Operator '-' needs two numbers, got a number (1) and a string ('a')"},
          {"'a' * 2", 4, "Operator '*' needs two numbers, got a string ('a') and a number (2)"},
          {"1 .. 2", 2,
           "Operator '..' needs a string on at least one side, got a number (1) and a number (2)"},
          {"1.5 & 1", 4, "Operator '&' needs integer values, got a number (1.5)"},
          {"1 | 'x'", 2, "Operator '|' needs integer values, got a string ('x')"},
          {"!'x'", 0, "Operator '!' needs a number, got a string ('x')"},
          {"-'x'", 0, "Operator '-' needs a number, got a string ('x')"},
          {"~'x'", 0, "Operator '~' needs a number, got a string ('x')"},
          {"~(1 / 0)", 0,
           "Operator '~' needs a number within the 64-bit integer range, got a number (inf)"},
          {"1 && 2", 2, "Operator '&&' needs 0 or 1 on each side, got a number (2)"},
          {"0.5 || 0", 4, "Operator '||' needs 0 or 1 on each side, got a number (0.5)"},
          // both sides are always evaluated
          {"false && missing", 9, "Entry 'missing' doesn't exist"},
          {"true || missing", 8, "Entry 'missing' doesn't exist"},
          // every pair of a chain is compared, even after a false one
          {"3 < 2 < 'x'", 6, "Operator '<' cannot compare 2 with 'x': 'x' is not a number"},
          {"'abc' == 1", 6, "Operator '==' cannot compare 'abc' with 1: 'abc' is not a number"},
          {"'x' ? 1 : 2", 4, "The condition of '?:' must be a number, got a string ('x')"},
          {"d := 9; d /= 2", 10,
           "Invalid floating point to integer conversion: entry 'd' holds an integer and 4.5 is "
           "not a whole number within its range"},
          {"a := 1 / 0; b := 1; b = a", 22,
           "Invalid floating point to integer conversion: entry 'b' holds an integer and inf is "
           "not a whole number within its range"},
          {"a := 1; a = 'abc'", 10,
           "Cannot store 'abc' in entry 'a' (integer): the text is not a number"},
          {"a := 1; a := '2.5'", 10,
           "Invalid floating point to integer conversion: entry 'a' holds an integer and 2.5 is "
           "not a whole number within its range"},
          {"t := 'x'; t = 5", 12,
           "Cannot store 5 in entry 't' (string): a number cannot go into a string entry"},
          {"t := 'x'; t := 1 + 1", 12,
           "Cannot store 2 in entry 't' (string): a number cannot go into a string entry"},
          {"s := 'a'; s -= 'b'", 12,
           "Operator '-=' needs two numbers, got a string ('a') and a string ('b')"},
          {"s := 'a'; s += 1", 12,
           "Operator '+=' needs two numbers or two strings, got a string ('a') and a number (1)"},
          {"RED := 1", 0, "'RED' is an enum name, not an entry: it cannot be assigned"},
      },
      [](Env&) {});
}

TEST(ScriptTest, ErrorMessagesCarryTheScriptAndPosition) {
  Env e;
  try {
    run("a := 1; b = a", e.env);
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()),
              "Script 'a := 1; b = a' failed at position 8: Entry 'b' doesn't exist, yet; use "
              "[:=] to create it");
  }
  // The statements before the failing one have taken effect.
  EXPECT_EQ(e.env.value("a"), I(1));
  try {
    Script::parse("a := ");
    FAIL() << "parsed";
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()), "Expected operand at position 5 in script 'a := '");
    EXPECT_EQ(error.code(), Errc::script_parse);
  }
}

struct ParseCase {
  std::string code;
  std::size_t position;
  std::string reason;
};

TEST(ScriptTest, ParseErrorsNameTheProblemAndPosition) {
  const std::vector<ParseCase> cases = {
      {"a := ", 5, "Expected operand"},
      {"x := 1 +", 8, "Expected operand"},
      {"", 0, "The script is empty"},
      {" ;;\n ; ", 0, "The script is empty"},
      {".5", 0, "A number must start with a digit: write 0.5, not .5"},
      {"1 + .5", 4, "A number must start with a digit: write 0.5, not .5"},
      {"5.", 1, "Expected digits after the decimal point"},
      {"5.e3", 1, "Expected digits after the decimal point"},
      {"12abc", 0, "Invalid number"},
      {"0x", 0, "Invalid number: '0x' needs hexadecimal digits"},
      {"0xFG", 0, "Invalid number"},
      {"1e", 0, "Invalid number: the exponent needs digits"},
      {"1e+", 0, "Invalid number: the exponent needs digits"},
      {"99999999999999999999", 0, "Integer literal out of range (64-bit signed)"},
      {"0x8000000000000000", 0, "Integer literal out of range (64-bit signed)"},
      {"1e999", 0, "Real literal out of range"},
      {"'abc", 0, "Unterminated string"},
      {"a := 'x' .. 'y", 12, "Unterminated string"},
      {"\"abc\"", 0, "Strings are written in single quotes"},
      {"5 % 2", 2, "There is no operator '%'"},
      {"2 ** 3", 2, "There is no operator '**'"},
      {"a b", 2, "Unexpected 'b': expected an operator, ';' or a new line"},
      {"1 2", 2, "Unexpected '2': expected an operator, ';' or a new line"},
      {"'a' 'b'", 4, "Unexpected 'b': expected an operator, ';' or a new line"},
      {"(1))", 3, "Unexpected ')': expected an operator, ';' or a new line"},
      {"(1 + 2", 6, "Expected ')' to close the '(' at position 0, found the end of the script"},
      {"(1; 2)", 2, "Expected ')' to close the '(' at position 0, found ';'"},
      {"1 ? 2", 5, "Expected ':' for the '?' at position 2, found the end of the script"},
      {"1 := 2", 2, "The left side of ':=' must be an entry name"},
      {"a + b = 3", 6, "The left side of '=' must be an entry name"},
      {"true := 1", 5, "The left side of ':=' must be an entry name"},
      {"a.b := 1", 1, "Unexpected character '.'"},
      {"@ x", 1, "Expected an entry name after '@'"},
      {"@1", 1, "Expected an entry name after '@'"},
      {"a := 1 # c", 7, "Unexpected character '#'"},
      {"a := \xC3\xA9", 5, "Unexpected character byte 0xC3"},
      {"1 +\n 2", 3, "Expected operand, found a new line"},
      {"()", 1, "Expected operand, found ')'"},
      {"a := ;", 5, "Expected operand, found ';'"},
      {")", 0, "Expected operand, found ')'"},
      {"a == = 1", 5, "Expected operand, found '='"},
      {std::string(200, '(') + "1" + std::string(200, ')'), 128,
       "The script nests too deeply (more than 128 levels)"},
      {std::string(200, '-') + "1", 127, "The script nests too deeply (more than 128 levels)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    try {
      Script::parse(c.code);
      ADD_FAILURE() << "parsed";
    } catch (const ScriptParseError& error) {
      EXPECT_EQ(error.reason(), c.reason);
      EXPECT_EQ(error.position(), c.position);
      EXPECT_EQ(error.script(), c.code);
    }
  }
}

TEST(ScriptTest, LongOperatorChainsAreRefusedBeforeTheyCanExhaustTheStack) {
  std::string sum = "1";
  for (int k = 0; k < 200; ++k) sum += "+1";
  try {
    Script::parse(sum);
    FAIL() << "parsed";
  } catch (const ScriptParseError& error) {
    EXPECT_EQ(error.reason(), "The script nests too deeply (more than 128 levels)");
  }
  std::string short_sum = "1";
  for (int k = 0; k < 100; ++k) short_sum += "+1";
  Env e;
  EXPECT_EQ(run(short_sum, e.env), R(101));
}

TEST(ScriptTest, StringsCannotGrowWithoutBound) {
  Env e;
  std::string code = "s := 'abcdefghijklmnop'";
  for (int k = 0; k < 30; ++k) code += "; s += s";
  try {
    run(code, e.env);
    FAIL() << "no error";
  } catch (const ScriptError& error) {
    EXPECT_EQ(error.reason(), "Operator '+=' would make a string longer than 16777216 bytes");
  }
  EXPECT_EQ(e.env.value("s")->as_string().size(), std::size_t{16} << 20);
}

// --- entries held by the application, type locking -----------------------------------------------

struct TypedCase {
  std::string code;
  std::string entry;
  std::any expected;  // the C++ value the entry holds afterwards; empty: an error is expected
  std::string error;  // the reason, when an error is expected
};

template <class T>
void expect_holds(const MemoryEnvironment& env, const std::string& name, const std::any& expected) {
  const std::any* value = env.get(name);
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->type(), typeid(T)) << name;
  EXPECT_EQ(std::any_cast<T>(*value), std::any_cast<T>(expected)) << name;
}

TEST(ScriptTest, EntriesKeepTheirCppTypeAndConvertWhatIsStored) {
  const auto setup = [](MemoryEnvironment& env) {
    env.set("i", 5);  // int
    env.set("u8", static_cast<unsigned char>(200));
    env.set("f", 1.5F);
    env.set("b", true);
    env.set("t", std::string("42"));
    env.set("c", std::string("RED"));
    env.set("v", std::vector<int>{1});
    env.declare("d", EntryType::integer);
    env.declare("n", EntryType::none);
  };
  const std::vector<TypedCase> cases = {
      {"i := 7", "i", 7, ""},
      {"i = '8'", "i", 8, ""},
      {"i *= 2", "i", 10, ""},
      {"i = 2.5",
       "i",
       {},
       "Invalid floating point to integer conversion: entry 'i' holds an integer and 2.5 is not a "
       "whole number within its range"},
      {"i = 3000000000",
       "i",
       {},
       "Cannot store 3000000000 in entry 'i' (integer): the entry holds a value of type int, "
       "which cannot take it"},
      {"u8 = 255", "u8", static_cast<unsigned char>(255), ""},
      {"u8 += 100",
       "u8",
       {},
       "Cannot store 300 in entry 'u8' (integer): the entry holds a value of type unsigned char, "
       "which cannot take it"},
      {"u8 = -1",
       "u8",
       {},
       "Cannot store -1 in entry 'u8' (integer): the entry holds a value of type unsigned char, "
       "which cannot take it"},
      {"f = 2", "f", 2.0F, ""},
      {"f += 1", "f", 2.5F, ""},
      {"f = 1e300",
       "f",
       {},
       "Cannot store 1e+300 in entry 'f' (real): the entry holds a value of type float, which "
       "cannot take it"},
      {"f = 1 / 0", "f", std::numeric_limits<float>::infinity(), ""},
      {"b = 0", "b", false, ""},
      {"b = 'true'", "b", true, ""},
      {"b := b == 0", "b", false, ""},
      {"b = 2",
       "b",
       {},
       "Cannot store 2 in entry 'b' (boolean): a boolean entry takes 0, 1, true or false"},
      {"b = 'yes'", "b", {}, "Cannot store 'yes' in entry 'b' (boolean): the text is not a number"},
      {"t = '43'", "t", std::string("43"), ""},
      {"t += '!'", "t", std::string("42!"), ""},
      {"t = 5",
       "t",
       {},
       "Cannot store 5 in entry 't' (string): a number cannot go into a string entry"},
      {"d = '7'", "d", std::int64_t{7}, ""},
      {"d := 7.0", "d", std::int64_t{7}, ""},
      {"d += 1", "d", {}, "Entry 'd' holds no value for '+=' to update"},
      {"d + 1", "d", {}, "Entry 'd' holds no value"},
      {"n = 'x'", "n", std::string("x"), ""},
      {"n := 2.5", "n", 2.5, ""},
      {"v + 1",
       "v",
       {},
       "Entry 'v' holds a value of type std::vector<int, std::allocator<int> >, which scripts "
       "cannot use"},
      {"v += 1",
       "v",
       {},
       "Entry 'v' holds a value of type std::vector<int, std::allocator<int> >, which scripts "
       "cannot use"},
      {"v = 1",
       "v",
       {},
       "Cannot store 1 in entry 'v' (other): the entry holds a value of type std::vector<int, "
       "std::allocator<int> >, which cannot take it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Env e;
    setup(e.env);
    const std::any before = *e.env.get(c.entry);
    try {
      run(c.code, e.env);
      if (!c.error.empty()) ADD_FAILURE() << "no error";
    } catch (const ScriptError& error) {
      EXPECT_EQ(error.reason(), c.error);
    }
    const std::any& after = c.expected.has_value() ? c.expected : before;
    if (!after.has_value()) {
      EXPECT_FALSE(e.env.get(c.entry)->has_value());
    } else if (after.type() == typeid(int)) {
      expect_holds<int>(e.env, c.entry, after);
    } else if (after.type() == typeid(unsigned char)) {
      expect_holds<unsigned char>(e.env, c.entry, after);
    } else if (after.type() == typeid(float)) {
      expect_holds<float>(e.env, c.entry, after);
    } else if (after.type() == typeid(bool)) {
      expect_holds<bool>(e.env, c.entry, after);
    } else if (after.type() == typeid(std::string)) {
      expect_holds<std::string>(e.env, c.entry, after);
    } else if (after.type() == typeid(std::int64_t)) {
      expect_holds<std::int64_t>(e.env, c.entry, after);
    } else if (after.type() == typeid(double)) {
      expect_holds<double>(e.env, c.entry, after);
    } else {
      EXPECT_EQ(e.env.get(c.entry)->type(), after.type());
    }
  }
}

TEST(ScriptTest, TextEntriesConvertOnlyWhenComparedWithNumbers) {
  const std::vector<ValueCase> cases = {
      {"t == 42", R(1)},   {"t > 40", R(1)},        {"t == '42'", R(1)},     {"t .. 'x'", S("42x")},
      {"c == RED", R(1)},  {"c != GREEN", R(1)},    {"c == 'RED'", R(1)},    {"b + 1", R(2)},
      {"b == true", R(1)}, {"cs .. '!'", S("hi!")}, {"sv .. '!'", S("ab!")}, {"l + 1", R(8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Env e;
    e.env.set("t", std::string("42"));
    e.env.set("c", std::string("RED"));
    e.env.set("b", true);
    e.env.set("cs", static_cast<const char*>("hi"));
    e.env.set("sv", std::string_view("ab"));
    e.env.set("l", 7L);
    EXPECT_EQ(run(c.code, e.env), c.expected);
  }
  expect_errors(
      {{"t + 1", 2,
        "Operator '+' needs two numbers or two strings, got a string ('42') and a number "
        "(1)"},
       {"t = 5", 2, "Cannot store 5 in entry 't' (string): a number cannot go into a string entry"},
       {"big + 1", 0,
        "Entry 'big' holds a value of type unsigned long long, which scripts cannot "
        "use"}},
      [](Env& e) {
        e.env.set("t", std::string("42"));
        e.env.set("big", std::numeric_limits<unsigned long long>::max());
      });
}

// --- scopes and enums ----------------------------------------------------------------------------

TEST(ScriptTest, AtNamesReachTheRootEnvironment) {
  MemoryEnvironment root;
  MemoryEnvironment sub(root);
  EXPECT_EQ(run("@g := 5; a := @g + 1", sub), R(6));
  EXPECT_EQ(root.value("g"), I(5));
  EXPECT_EQ(sub.value("a"), R(6));
  EXPECT_FALSE(sub.type_of("g"));
  EXPECT_FALSE(root.type_of("a"));
  EXPECT_THROW(run("g", sub), ScriptError);
  EXPECT_EQ(run("@g += 1; @g", sub), I(6));

  // At the top, @name and name are the same entry.
  MemoryEnvironment top;
  EXPECT_EQ(run("@g := 5; g += 1; @g", top), I(6));
}

TEST(ScriptTest, EnumsHideLocalEntriesOfTheSameName) {
  Env e;
  e.env.set("RED", 100);
  EXPECT_EQ(run("RED", e.env), R(2));
  EXPECT_EQ(run("@RED", e.env), I(100));  // an explicit root entry is never an enum
  MemoryEnvironment plain;                // no registry: RED is an entry
  plain.set("RED", 100);
  EXPECT_EQ(run("RED", plain), I(100));
}

TEST(EnumRegistryTest, RegistersNamesAndRefusesConflicts) {
  EnumRegistry r;
  r.register_enum("A", 1);
  r.register_enum("A", 1);  // the same again: fine
  r.register_enum<Mode>({{"IDLE", Mode::idle}, {"CHARGING", Mode::charging}});
  EXPECT_EQ(r.find("A"), 1);
  EXPECT_EQ(r.find("CHARGING"), 7);
  EXPECT_EQ(r.find("B"), std::nullopt);
  try {
    r.register_enum("A", 2);
    FAIL() << "registered";
  } catch (const ValueError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot register the enum name 'A' as 2: it is already registered as 1");
  }
  EXPECT_EQ(r.find("A"), 1);
  for (const char* bad : {"", "1A", "a-b", "true", "false", "@x", "a b"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(r.register_enum(bad, 1), ValueError);
  }
  EXPECT_EQ(r.values().size(), 3U);

  // Names of every length, long ones included, are found; others of the same length are not.
  const std::string long_name(70, 'L');
  r.register_enum(long_name, 9);
  r.register_enum("Z", 4);
  EXPECT_EQ(r.find(long_name), 9);
  EXPECT_EQ(r.find(std::string(64, 'L')), std::nullopt);
  EXPECT_EQ(r.find("Z"), 4);
  EXPECT_EQ(r.find("Y"), std::nullopt);

  // A copy stands on its own.
  auto original = std::make_unique<EnumRegistry>(r);
  const EnumRegistry copy = *original;
  original.reset();
  EXPECT_EQ(copy.find("CHARGING"), 7);
  EXPECT_EQ(copy.find(long_name), 9);
}

// --- conditions ----------------------------------------------------------------------------------

TEST(ScriptTest, ConditionsMustGiveZeroOrOne) {
  struct Case {
    std::string code;
    bool expected;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"1", true, ""},
      {"0", false, ""},
      {"1.0", true, ""},
      {"true", true, ""},
      {"1 < 2", true, ""},
      {"battery > 20 && state == IDLE", true, ""},
      {"battery > 80 || state != IDLE", false, ""},
      {"x := 1; x == 2", false, ""},
      {"5", false,
       "Implicit casting to bool is not allowed: a condition must give 0 or 1, this one gave 5"},
      {"0.5", false,
       "Implicit casting to bool is not allowed: a condition must give 0 or 1, this one gave 0.5"},
      {"'x'", false,
       "Implicit casting to bool is not allowed: a condition must give 0 or 1, this one gave 'x'"},
      {"a := 1; 'true'", false,
       "Implicit casting to bool is not allowed: a condition must give 0 or 1, this one gave "
       "'true'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    Env e;
    e.env.set("battery", 50);
    e.env.set("state", static_cast<int>(Mode::idle));
    const Script script = Script::parse(c.code);
    try {
      EXPECT_EQ(script.evaluate_condition(e.env), c.expected);
      EXPECT_TRUE(c.error.empty()) << "no error";
    } catch (const ScriptError& error) {
      EXPECT_EQ(error.reason(), c.error);
    }
  }
}

TEST(ScriptTest, AParsedScriptEvaluatesAgainAndAgainAndIsShared) {
  const Script script = Script::parse("count := 0; count += 1");
  const Script copy = script;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(&script.code(), &copy.code());
  Env e;
  e.env.set("count", 0);
  const Script increment = Script::parse("count += 1");
  for (int k = 0; k < 3; ++k) increment.evaluate(e.env);
  EXPECT_EQ(e.env.value("count"), I(3));
  EXPECT_EQ(increment.code(), "count += 1");
}

TEST(ScriptTest, EvaluatingNumbersAndShortStringsDoesNotAllocate) {
  const std::vector<std::string> scripts = {
      "battery > 20 && state == IDLE",         "count += 1",
      "x := 2 * (3 + 4) - 1; 1 < x < 20 != 0", "a := 0x7F & ~1 | RED; a -= 1; a",
      "label := name .. '-' .. count",         "'abc' < 'abd' ? 'yes' : 'no'",
      "r := battery / 3; r *= 2; r == 38",
  };
  for (const auto& code : scripts) {
    SCOPED_TRACE(code);
    Env e;
    e.env.set("battery", std::int64_t{57});
    e.env.set("state", std::int64_t{0});
    e.env.set("count", std::int64_t{0});
    e.env.set("name", std::string("gripper"));
    const Script script = Script::parse(code);
    script.evaluate(e.env);  // creates the entries the script makes
    const std::size_t before = testing::allocations();
    testing::count_allocations(true);
    for (int k = 0; k < 10; ++k) script.evaluate(e.env);
    testing::count_allocations(false);
    EXPECT_EQ(testing::allocations() - before, 0U);
  }
}

// --- the std::any helpers ------------------------------------------------------------------------

TEST(ScriptAnyTest, EntryTypesOfCppValues) {
  const std::vector<std::pair<std::any, EntryType>> cases = {
      {std::any{}, EntryType::none},
      {std::int64_t{1}, EntryType::integer},
      {1, EntryType::integer},
      {static_cast<unsigned char>(1), EntryType::integer},
      {~0ULL, EntryType::integer},
      {1.5, EntryType::real},
      {1.5F, EntryType::real},
      {std::string("x"), EntryType::string},
      {std::string_view("x"), EntryType::string},
      {static_cast<const char*>("x"), EntryType::string},
      {true, EntryType::boolean},
      {'x', EntryType::other},
      {std::vector<int>{}, EntryType::other},
  };
  for (const auto& [value, type] : cases) {
    SCOPED_TRACE(value.type().name());
    EXPECT_EQ(entry_type_of(value), type);
  }
  Value out;
  EXPECT_FALSE(read_any(~0ULL, out));
  EXPECT_TRUE(read_any(static_cast<unsigned long long>(INT64_MAX), out));
  EXPECT_EQ(out, I(INT64_MAX));
  EXPECT_FALSE(read_any(std::any{}, out));
  EXPECT_FALSE(read_any(static_cast<const char*>(nullptr), out));
}

TEST(ScriptAnyTest, WriteAnyKeepsTheSlotsTypeOrRefuses) {
  std::any slot = 5;
  EXPECT_TRUE(write_any(slot, I(7), EntryType::integer));
  EXPECT_EQ(std::any_cast<int>(slot), 7);
  EXPECT_FALSE(write_any(slot, I(std::int64_t{1} << 40), EntryType::integer));
  EXPECT_EQ(std::any_cast<int>(slot), 7);
  EXPECT_FALSE(write_any(slot, R(1.5), EntryType::integer));  // not converted for integer

  std::any unsigned_slot = 5U;
  EXPECT_FALSE(write_any(unsigned_slot, I(-1), EntryType::integer));
  EXPECT_EQ(std::any_cast<unsigned>(unsigned_slot), 5U);

  std::any text = std::string("a");
  EXPECT_TRUE(write_any(text, S("bcd"), EntryType::string));
  EXPECT_EQ(std::any_cast<std::string>(text), "bcd");
  EXPECT_FALSE(write_any(text, I(1), EntryType::string));

  std::any empty;
  EXPECT_TRUE(write_any(empty, I(3), EntryType::none));
  EXPECT_EQ(empty.type(), typeid(std::int64_t));
  EXPECT_TRUE(write_any(empty, R(3), EntryType::real));
  EXPECT_EQ(empty.type(), typeid(double));
  EXPECT_TRUE(write_any(empty, I(1), EntryType::boolean));
  EXPECT_EQ(std::any_cast<bool>(empty), true);
  EXPECT_FALSE(write_any(empty, I(2), EntryType::boolean));
  EXPECT_FALSE(write_any(empty, S("x"), EntryType::other));
}

// --- fuzz inputs ---------------------------------------------------------------------------------

TEST(ScriptFuzzRegressionTest, SeedAndFoundInputsKeepTheirInvariants) {
  namespace fs = std::filesystem;
  std::vector<fs::path> folders = {fs::path(KELMORA_FUZZ_CORPUS) / "fuzz_script"};
  if (const char* data = std::getenv("KELMORA_TEST_DATA")) {
    folders.push_back(fs::path(data) / "fuzz_regressions" / "fuzz_script");
  }
  std::size_t replayed = 0;
  for (const auto& folder : folders) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (!entry.is_regular_file()) continue;
      SCOPED_TRACE(entry.path().string());
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      EXPECT_NO_THROW(fuzz::check_script(input));
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 10U);
}

}  // namespace
}  // namespace kelmora::core::scripting
