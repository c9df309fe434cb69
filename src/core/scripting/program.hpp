#pragma once
// The parsed form of a script: a flat array of expression nodes (children by index) with the
// literals, names and comparison links beside it. Built once by the parser, then only read.

#include <cstdint>
#include <kelmora/core/scripting.hpp>
#include <string>
#include <vector>

namespace kelmora::core::scripting::detail {

enum class Op : std::uint8_t {
  literal,  // a = index into constants
  entry,    // a = index into names; scope
  // unary: a = operand
  negate,
  logical_not,
  bit_not,
  // binary: a, b = operands
  multiply,
  divide,
  add,
  subtract,
  concat,
  bit_and,
  bit_or,
  bit_xor,
  logical_and,
  logical_or,
  // a = first operand, b = index of the first link, c = number of links
  compare_chain,
  // a = condition, b = value when non-zero, c = value when zero
  ternary,
  // assignments: a = index into names, b = value, c = position of the name; scope
  assign_create,  // :=
  assign,         // =
  add_assign,     // +=
  subtract_assign,
  multiply_assign,
  divide_assign,
};

enum class Comparison : std::uint8_t { equal, not_equal, less, less_equal, greater, greater_equal };

struct Node {
  Op op = Op::literal;
  Scope scope = Scope::local;
  std::uint32_t position = 0;  // byte offset of the operator, name or literal
  std::uint32_t a = 0;
  std::uint32_t b = 0;
  std::uint32_t c = 0;
};

// One `<op> operand` step of a comparison chain.
struct Link {
  Comparison comparison = Comparison::equal;
  std::uint32_t operand = 0;
  std::uint32_t position = 0;
};

struct Statement {
  std::uint32_t root = 0;
  std::uint32_t position = 0;
};

struct Program {
  std::string code;
  std::vector<Node> nodes;
  std::vector<Value> constants;
  std::vector<std::string> names;
  std::vector<Link> links;
  std::vector<Statement> statements;
};

// Parses a script; throws ScriptParseError.
Program parse_program(std::string_view code);

}  // namespace kelmora::core::scripting::detail
