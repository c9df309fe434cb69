// The evaluator: walks a parsed script against an Environment. Values live in caller-provided
// slots (Value&), so numbers never allocate and strings reuse their buffers.

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "program.hpp"
#include "values.hpp"

namespace kelmora::core::scripting {
namespace detail {
namespace {

// The longest string `+` and `..` may build, so a script cannot exhaust memory by doubling one.
constexpr std::size_t kMaxStringLength = std::size_t{16} << 20;

// Reals this close are equal (the single-precision epsilon), so 0.1 + 0.2 == 0.3 holds.
constexpr double kEqualWithin = static_cast<double>(std::numeric_limits<float>::epsilon());

std::string_view symbol(Op op) noexcept {
  switch (op) {
    case Op::negate:
    case Op::subtract:
      return "-";
    case Op::logical_not:
      return "!";
    case Op::bit_not:
      return "~";
    case Op::multiply:
      return "*";
    case Op::divide:
      return "/";
    case Op::add:
      return "+";
    case Op::concat:
      return "..";
    case Op::bit_and:
      return "&";
    case Op::bit_or:
      return "|";
    case Op::bit_xor:
      return "^";
    case Op::logical_and:
      return "&&";
    case Op::logical_or:
      return "||";
    case Op::assign_create:
      return ":=";
    case Op::assign:
      return "=";
    case Op::add_assign:
      return "+=";
    case Op::subtract_assign:
      return "-=";
    case Op::multiply_assign:
      return "*=";
    case Op::divide_assign:
      return "/=";
    default:
      return "?";
  }
}

// The binary operator a compound assignment applies.
Op arithmetic_of(Op op) noexcept {
  switch (op) {
    case Op::add_assign:
      return Op::add;
    case Op::subtract_assign:
      return Op::subtract;
    case Op::multiply_assign:
      return Op::multiply;
    default:
      return Op::divide;
  }
}

std::string_view symbol(Comparison comparison) noexcept {
  switch (comparison) {
    case Comparison::equal:
      return "==";
    case Comparison::not_equal:
      return "!=";
    case Comparison::less:
      return "<";
    case Comparison::less_equal:
      return "<=";
    case Comparison::greater:
      return ">";
    case Comparison::greater_equal:
      break;
  }
  return ">=";
}

EntryType type_of_kind(Value::Kind kind) noexcept {
  switch (kind) {
    case Value::Kind::integer:
      return EntryType::integer;
    case Value::Kind::real:
      return EntryType::real;
    case Value::Kind::string:
      break;
  }
  return EntryType::string;
}

std::string operand(const Value& value) {
  return fmt::format("{} ({})", kind_name(value), show(value));
}

class Evaluator {
 public:
  Evaluator(const Program& program, Environment& env)
      : p_(program), env_(env), enums_(env.enums()) {}

  void eval(std::uint32_t index, Value& out) {
    const Node& n = p_.nodes[index];
    switch (n.op) {
      case Op::literal:
        return load_constant(p_.constants[n.a], out);
      case Op::entry:
        return read_entry(n, out);
      case Op::negate:
        eval(n.a, out);
        if (!out.is_number()) unary_error(n, out, "a number");
        return out.set_real(-out.as_real());
      case Op::logical_not:
        eval(n.a, out);
        if (!out.is_number()) unary_error(n, out, "a number");
        return out.set_real(out.as_real() == 0.0 ? 1.0 : 0.0);
      case Op::bit_not:
        return bit_not(n, out);
      case Op::multiply:
      case Op::divide:
      case Op::add:
      case Op::subtract:
      case Op::concat:
      case Op::bit_and:
      case Op::bit_or:
      case Op::bit_xor:
      case Op::logical_and:
      case Op::logical_or: {
        Value right;
        eval(n.a, out);
        eval(n.b, right);
        return binary(n.op, n.position, out, right);
      }
      case Op::compare_chain:
        return compare_chain(n, out);
      case Op::ternary:
        eval(n.a, out);
        if (!out.is_number()) {
          fail(n.position, "The condition of '?:' must be a number, got {}", operand(out));
        }
        return eval(out.as_real() != 0.0 ? n.b : n.c, out);
      case Op::assign_create:
      case Op::assign:
      case Op::add_assign:
      case Op::subtract_assign:
      case Op::multiply_assign:
      case Op::divide_assign:
        return assign(n, out);
    }
  }

  // Failures are formatted out of line, so the evaluation paths stay small.
  template <class... Args>
  [[noreturn, gnu::noinline, gnu::cold]] void fail(std::uint32_t position,
                                                   fmt::format_string<Args...> format,
                                                   Args&&... args) const {
    throw ScriptError(p_.code, position, fmt::format(format, std::forward<Args>(args)...));
  }

 private:
  static void load_constant(const Value& constant, Value& out) {
    switch (constant.kind()) {
      case Value::Kind::integer:
        return out.set_integer(constant.as_integer());
      case Value::Kind::real:
        return out.set_real(constant.as_real());
      case Value::Kind::string:
        return out.set_string(constant.as_string());
    }
  }

  std::string shown_name(const Node& n) const {
    return (n.scope == Scope::root ? "@" : "") + p_.names[n.a];
  }

  std::optional<std::int64_t> enum_value(const Node& n) const {
    if (n.scope != Scope::local || enums_ == nullptr) return std::nullopt;
    return enums_->find(p_.names[n.a]);
  }

  void read_entry(const Node& n, Value& out) {
    if (const auto value = enum_value(n)) return out.set_real(static_cast<double>(*value));
    const std::string& name = p_.names[n.a];
    const EntryState state = env_.read(name, n.scope, out);
    if (!state.exists) fail(n.position, "Entry '{}' doesn't exist", shown_name(n));
    if (!state.has_value) fail(n.position, "Entry '{}' holds no value", shown_name(n));
    if (state.type == EntryType::none || state.type == EntryType::other) unusable(n, n.position);
  }

  [[noreturn, gnu::noinline, gnu::cold]] void unusable(const Node& n,
                                                       std::uint32_t position) const {
    fail(position, "Entry '{}' holds a value of type {}, which scripts cannot use", shown_name(n),
         env_.describe(p_.names[n.a], n.scope));
  }

  [[noreturn, gnu::noinline, gnu::cold]] void unary_error(const Node& n, const Value& value,
                                                          std::string_view needs) const {
    fail(n.position, "Operator '{}' needs {}, got {}", symbol(n.op), needs, operand(value));
  }

  // `~` truncates a real first: ~1.5 is ~1.
  void bit_not(const Node& n, Value& out) {
    eval(n.a, out);
    if (!out.is_number()) unary_error(n, out, "a number");
    if (out.kind() == Value::Kind::integer) return out.set_integer(~out.as_integer());
    const auto integer = whole_integer(std::trunc(out.as_real()));
    if (!integer) unary_error(n, out, "a number within the 64-bit integer range");
    out.set_integer(~*integer);
  }

  std::int64_t integral(Op op, std::uint32_t position, const Value& value) const {
    if (value.kind() == Value::Kind::integer) return value.as_integer();
    if (value.kind() == Value::Kind::real) {
      if (auto integer = whole_integer(value.as_real())) return *integer;
    }
    fail(position, "Operator '{}' needs integer values, got {}", symbol(op), operand(value));
  }

  bool truth(Op op, std::uint32_t position, const Value& value) const {
    if (value.is_number()) {
      const double x = value.as_real();
      if (x == 0.0 || x == 1.0) return x == 1.0;
    }
    fail(position, "Operator '{}' needs 0 or 1 on each side, got {}", symbol(op), operand(value));
  }

  [[noreturn, gnu::noinline, gnu::cold]] void operands_error(Op op, std::uint32_t position,
                                                             std::string_view needs,
                                                             const Value& left,
                                                             const Value& right) const {
    fail(position, "Operator '{}' needs {}, got {} and {}", symbol(op), needs, operand(left),
         operand(right));
  }

  void check_length(Op op, std::uint32_t position, std::size_t length) const {
    if (length > kMaxStringLength) {
      fail(position, "Operator '{}' would make a string longer than {} bytes", symbol(op),
           kMaxStringLength);
    }
  }

  // left = left op right, for every binary operator but the comparisons. Messages name `shown`
  // (the compound assignment `+=` rather than the `+` it applies).
  void binary(Op op, std::uint32_t position, Value& left, const Value& right) {
    binary(op, op, position, left, right);
  }
  void binary(Op op, Op shown, std::uint32_t position, Value& left, const Value& right) {
    const bool numbers = left.is_number() && right.is_number();
    switch (op) {
      case Op::add:
        if (numbers) return left.set_real(left.as_real() + right.as_real());
        if (left.is_string() && right.is_string()) {
          check_length(shown, position, left.as_string().size() + right.as_string().size());
          return left.append(right.as_string());
        }
        operands_error(shown, position, "two numbers or two strings", left, right);
      case Op::subtract:
      case Op::multiply:
      case Op::divide: {
        if (!numbers) operands_error(shown, position, "two numbers", left, right);
        const double a = left.as_real();
        const double b = right.as_real();
        return left.set_real(op == Op::subtract ? a - b : op == Op::multiply ? a * b : a / b);
      }
      case Op::concat:
        if (numbers) operands_error(shown, position, "a string on at least one side", left, right);
        if (left.is_string() && right.is_string()) {
          check_length(shown, position, left.as_string().size() + right.as_string().size());
          return left.append(right.as_string());
        }
        if (left.is_string()) {
          const std::string number = right.to_text();
          check_length(shown, position, left.as_string().size() + number.size());
          return left.append(number);
        }
        {
          std::string joined = left.to_text();
          check_length(shown, position, joined.size() + right.as_string().size());
          joined += right.as_string();
          return left.set_string(joined);
        }
      case Op::bit_and:
      case Op::bit_or:
      case Op::bit_xor: {
        const std::int64_t a = integral(shown, position, left);
        const std::int64_t b = integral(shown, position, right);
        return left.set_integer(op == Op::bit_and ? (a & b) : op == Op::bit_or ? (a | b) : (a ^ b));
      }
      case Op::logical_and:
      case Op::logical_or: {
        const bool a = truth(shown, position, left);
        const bool b = truth(shown, position, right);
        return left.set_real((op == Op::logical_and ? (a && b) : (a || b)) ? 1.0 : 0.0);
      }
      default:
        fail(position, "Internal error: unknown operator");
    }
  }

  // A string compared with a number is read as a number first.
  double as_number(const Value& value, const Value& a, const Value& b, Comparison comparison,
                   std::uint32_t position) const {
    if (value.is_number()) return value.as_real();
    if (auto number = text_to_number(value.as_string(), enums_)) return number->as_real();
    fail(position, "Operator '{}' cannot compare {} with {}: {} is not a number",
         symbol(comparison), show(a), show(b), show(value));
  }

  bool compare(Comparison comparison, std::uint32_t position, const Value& a, const Value& b) {
    int order = 0;  // -1, 0, 1; 2 for unordered (NaN)
    if (a.is_string() && b.is_string()) {
      const int c = a.as_string().compare(b.as_string());
      order = c < 0 ? -1 : c > 0 ? 1 : 0;
    } else if (a.kind() == Value::Kind::integer && b.kind() == Value::Kind::integer) {
      order = a.as_integer() < b.as_integer() ? -1 : a.as_integer() > b.as_integer() ? 1 : 0;
    } else {
      const double x = as_number(a, a, b, comparison, position);
      const double y = as_number(b, a, b, comparison, position);
      if (x == y || std::fabs(x - y) <= kEqualWithin) {
        order = 0;
      } else if (x < y) {
        order = -1;
      } else if (x > y) {
        order = 1;
      } else {
        order = 2;
      }
    }
    switch (comparison) {
      case Comparison::equal:
        return order == 0;
      case Comparison::not_equal:
        return order != 0;
      case Comparison::less:
        return order == -1;
      case Comparison::less_equal:
        return order == -1 || order == 0;
      case Comparison::greater:
        return order == 1;
      case Comparison::greater_equal:
        break;
    }
    return order == 1 || order == 0;
  }

  // Every operand is evaluated and every adjacent pair compared, even after a false one. The
  // two slots take turns holding the left operand, so nothing is copied or moved.
  void compare_chain(const Node& n, Value& out) {
    Value other;
    Value* left = &out;
    Value* right = &other;
    eval(n.a, *left);
    bool holds = true;
    for (std::uint32_t k = n.b; k < n.b + n.c; ++k) {
      const Link& link = p_.links[k];
      eval(link.operand, *right);
      holds = compare(link.comparison, link.position, *left, *right) && holds;
      std::swap(left, right);
    }
    out.set_real(holds ? 1.0 : 0.0);
  }

  void assign(const Node& n, Value& out) {
    eval(n.b, out);
    const std::string& name = p_.names[n.a];
    if (enum_value(n)) {
      fail(n.c, "'{}' is an enum name, not an entry: it cannot be assigned", name);
    }
    EntryState state;
    if (n.op == Op::assign_create || n.op == Op::assign) {
      state = env_.find(name, n.scope);
      if (!state.exists && n.op == Op::assign_create) {
        state.type = type_of_kind(out.kind());
        env_.create(name, n.scope, state.type);
        state.exists = true;
      }
    } else {
      Value current;
      state = env_.read(name, n.scope, current);
      if (state.exists && !state.has_value) {
        fail(n.c, "Entry '{}' holds no value for '{}' to update", shown_name(n), symbol(n.op));
      }
      if (state.exists && (state.type == EntryType::none || state.type == EntryType::other)) {
        unusable(n, n.c);
      }
      if (state.exists) {
        binary(arithmetic_of(n.op), n.op, n.position, current, out);
        std::swap(current, out);
      }
    }
    if (!state.exists) {
      fail(n.c, "Entry '{}' doesn't exist, yet; use [:=] to create it", shown_name(n));
    }
    store(n, state.type, out);
  }

  // Converts `value` to the entry's type and writes it.
  void store(const Node& n, EntryType type, Value& value) {
    const auto cannot = [&](std::string_view why) {
      fail(n.position, "Cannot store {} in entry '{}' ({}): {}", show(value), shown_name(n),
           to_string(type), why);
    };
    if ((type == EntryType::integer || type == EntryType::real || type == EntryType::boolean) &&
        value.is_string()) {
      auto number = text_to_number(value.as_string(), enums_);
      if (!number) cannot("the text is not a number");
      value = std::move(*number);
    }
    switch (type) {
      case EntryType::none:
      case EntryType::other:
        break;
      case EntryType::integer:
        if (value.kind() == Value::Kind::real) {
          const auto integer = whole_integer(value.as_real());
          if (!integer) {
            fail(n.position,
                 "Invalid floating point to integer conversion: entry '{}' holds an "
                 "integer and {} is not a whole number within its range",
                 shown_name(n), show(value));
          }
          value.set_integer(*integer);
        }
        break;
      case EntryType::real:
        value.set_real(value.as_real());
        break;
      case EntryType::string:
        if (value.is_number()) cannot("a number cannot go into a string entry");
        break;
      case EntryType::boolean:
        if (value.as_real() != 0.0 && value.as_real() != 1.0) {
          cannot("a boolean entry takes 0, 1, true or false");
        }
        value.set_integer(value.as_real() == 1.0 ? 1 : 0);
        break;
    }
    if (!env_.write(p_.names[n.a], n.scope, value)) {
      cannot(fmt::format("the entry holds a value of type {}, which cannot take it",
                         env_.describe(p_.names[n.a], n.scope)));
    }
  }

  const Program& p_;
  Environment& env_;
  const EnumRegistry* enums_;
};

}  // namespace
}  // namespace detail

Script Script::parse(std::string_view code) {
  return Script(std::make_shared<const detail::Program>(detail::parse_program(code)));
}

const std::string& Script::code() const noexcept { return program_->code; }

Value Script::evaluate(Environment& env) const {
  detail::Evaluator evaluator(*program_, env);
  Value value;
  for (const auto& statement : program_->statements) evaluator.eval(statement.root, value);
  return value;
}

bool Script::evaluate_condition(Environment& env) const {
  const Value value = evaluate(env);
  if (value.is_number() && (value.as_real() == 0.0 || value.as_real() == 1.0)) {
    return value.as_real() == 1.0;
  }
  throw ScriptError(program_->code, program_->statements.back().position,
                    fmt::format("Implicit casting to bool is not allowed: a condition must give "
                                "0 or 1, this one gave {}",
                                detail::show(value)));
}

}  // namespace kelmora::core::scripting
