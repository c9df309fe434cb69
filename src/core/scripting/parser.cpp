// The parser: tokens to the flat expression tree of program.hpp, by recursive descent with one
// function per precedence level (docs/scripting.md has the table).

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lexer.hpp"
#include "program.hpp"

namespace kelmora::core::scripting::detail {
namespace {

// Deepest nesting accepted, both of the parser's recursion (parentheses, unary operators,
// assignments, ?:) and of the expression tree (long operator chains), so neither parsing nor
// evaluation can exhaust a thread's stack.
constexpr int kMaxDepth = 128;

struct BinaryOp {
  Tok token;
  Op op;
};

class Parser {
 public:
  Parser(std::string_view code, std::vector<Token> tokens, Program& program)
      : code_(code), tokens_(std::move(tokens)), p_(program) {}

  void run() {
    while (peek().type != Tok::end) {
      if (peek().type == Tok::separator) {
        ++i_;
        continue;
      }
      const std::uint32_t position = peek().position;
      const std::uint32_t root = expression();
      p_.statements.push_back({root, position});
      if (peek().type != Tok::separator && peek().type != Tok::end) {
        fail(peek().position, fmt::format("Unexpected {}: expected an operator, ';' or a new line",
                                          spelling(peek(), code_)));
      }
    }
    if (p_.statements.empty()) fail(0, "The script is empty");
  }

 private:
  // Counts one level of the parser's recursion while it is alive.
  class Nesting {
   public:
    Nesting(Parser& parser, std::uint32_t position) : parser_(parser) {
      if (++parser_.nesting_ > kMaxDepth) parser_.too_deep(position);
    }
    ~Nesting() { --parser_.nesting_; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

   private:
    Parser& parser_;
  };

  [[noreturn]] void fail(std::size_t position, std::string reason) const {
    throw ScriptParseError(std::string(code_), position, std::move(reason));
  }
  [[noreturn]] void too_deep(std::uint32_t position) const {
    fail(position, fmt::format("The script nests too deeply (more than {} levels)", kMaxDepth));
  }

  const Token& peek() const { return tokens_[i_]; }
  const Token& next() { return tokens_[i_++]; }

  std::uint32_t add(Node node, std::initializer_list<std::uint32_t> children) {
    int depth = 0;
    for (auto child : children) depth = std::max(depth, depths_[child]);
    if (depth + 1 > kMaxDepth) too_deep(node.position);
    p_.nodes.push_back(node);
    depths_.push_back(depth + 1);
    return static_cast<std::uint32_t>(p_.nodes.size() - 1);
  }

  std::uint32_t name_index(std::string_view name) {
    const auto [found, added] =
        name_indices_.try_emplace(name, static_cast<std::uint32_t>(p_.names.size()));
    if (added) p_.names.emplace_back(name);
    return found->second;
  }

  std::uint32_t literal(std::uint32_t position, Value value) {
    p_.constants.push_back(std::move(value));
    return add({Op::literal, Scope::local, position,
                static_cast<std::uint32_t>(p_.constants.size() - 1), 0, 0},
               {});
  }

  static bool is_assignment(Tok type, Op& op) {
    switch (type) {
      case Tok::assign_create:
        op = Op::assign_create;
        return true;
      case Tok::assign:
        op = Op::assign;
        return true;
      case Tok::plus_assign:
        op = Op::add_assign;
        return true;
      case Tok::minus_assign:
        op = Op::subtract_assign;
        return true;
      case Tok::star_assign:
        op = Op::multiply_assign;
        return true;
      case Tok::slash_assign:
        op = Op::divide_assign;
        return true;
      default:
        return false;
    }
  }

  // Assignments (right-associative, lowest level): `name op expression`, else a ?: expression.
  std::uint32_t expression() {
    Nesting nesting(*this, peek().position);
    const std::uint32_t target = ternary();
    Op op{};
    if (!is_assignment(peek().type, op)) return target;
    const Token& token = next();
    const Node left = p_.nodes[target];
    if (left.op != Op::entry) {
      fail(token.position,
           fmt::format("The left side of {} must be an entry name", spelling(token, code_)));
    }
    const std::uint32_t value = expression();
    // The assignment takes the place of its target's node.
    const int depth = depths_[value] + 1;
    if (depth > kMaxDepth) too_deep(token.position);
    p_.nodes[target] = {op, left.scope, token.position, left.a, value, left.position};
    depths_[target] = depth;
    return target;
  }

  // c ? a : b, right-associative; both branches are whole expressions (as in C++).
  std::uint32_t ternary() {
    const std::uint32_t condition = logical_or();
    if (peek().type != Tok::question) return condition;
    const Token& question = next();
    const std::uint32_t when_true = expression();
    if (peek().type != Tok::colon) {
      fail(peek().position, fmt::format("Expected ':' for the '?' at position {}, found {}",
                                        question.position, spelling(peek(), code_)));
    }
    ++i_;
    const std::uint32_t when_false = expression();
    return add({Op::ternary, Scope::local, question.position, condition, when_true, when_false},
               {condition, when_true, when_false});
  }

  // One left-associative level: operand (op operand)*.
  template <class Next>
  std::uint32_t binary_level(std::initializer_list<BinaryOp> ops, Next operand) {
    std::uint32_t left = (this->*operand)();
    while (true) {
      const auto found = std::find_if(ops.begin(), ops.end(),
                                      [&](const BinaryOp& op) { return op.token == peek().type; });
      if (found == ops.end()) return left;
      const std::uint32_t position = next().position;
      const std::uint32_t right = (this->*operand)();
      left = add({found->op, Scope::local, position, left, right, 0}, {left, right});
    }
  }

  std::uint32_t logical_or() {
    return binary_level({{Tok::or_or, Op::logical_or}}, &Parser::logical_and);
  }
  std::uint32_t logical_and() {
    return binary_level({{Tok::and_and, Op::logical_and}}, &Parser::comparison);
  }

  static bool is_comparison(Tok type, Comparison& comparison) {
    switch (type) {
      case Tok::equal:
        comparison = Comparison::equal;
        return true;
      case Tok::not_equal:
        comparison = Comparison::not_equal;
        return true;
      case Tok::less:
        comparison = Comparison::less;
        return true;
      case Tok::less_equal:
        comparison = Comparison::less_equal;
        return true;
      case Tok::greater:
        comparison = Comparison::greater;
        return true;
      case Tok::greater_equal:
        comparison = Comparison::greater_equal;
        return true;
      default:
        return false;
    }
  }

  // a op b op c ...: one chain node, true when every adjacent pair holds.
  std::uint32_t comparison() {
    const std::uint32_t first = bit_or();
    Comparison kind{};
    if (!is_comparison(peek().type, kind)) return first;
    const std::uint32_t position = peek().position;
    const auto first_link = static_cast<std::uint32_t>(p_.links.size());
    int depth = depths_[first];
    while (is_comparison(peek().type, kind)) {
      const std::uint32_t link_position = next().position;
      const std::uint32_t operand = bit_or();
      depth = std::max(depth, depths_[operand]);
      p_.links.push_back({kind, operand, link_position});
    }
    const auto count = static_cast<std::uint32_t>(p_.links.size()) - first_link;
    if (depth + 1 > kMaxDepth) too_deep(position);
    p_.nodes.push_back({Op::compare_chain, Scope::local, position, first, first_link, count});
    depths_.push_back(depth + 1);
    return static_cast<std::uint32_t>(p_.nodes.size() - 1);
  }

  std::uint32_t bit_or() {
    return binary_level({{Tok::pipe, Op::bit_or}, {Tok::caret, Op::bit_xor}}, &Parser::bit_and);
  }
  std::uint32_t bit_and() { return binary_level({{Tok::amp, Op::bit_and}}, &Parser::additive); }
  std::uint32_t additive() {
    return binary_level(
        {{Tok::plus, Op::add}, {Tok::minus, Op::subtract}, {Tok::concat, Op::concat}},
        &Parser::multiplicative);
  }
  std::uint32_t multiplicative() {
    return binary_level({{Tok::star, Op::multiply}, {Tok::slash, Op::divide}}, &Parser::unary);
  }

  std::uint32_t unary() {
    Op op{};
    switch (peek().type) {
      case Tok::minus:
        op = Op::negate;
        break;
      case Tok::bang:
        op = Op::logical_not;
        break;
      case Tok::tilde:
        op = Op::bit_not;
        break;
      default:
        return primary();
    }
    Nesting nesting(*this, peek().position);
    const std::uint32_t position = next().position;
    const std::uint32_t operand = unary();
    return add({op, Scope::local, position, operand, 0, 0}, {operand});
  }

  std::uint32_t primary() {
    const Token& token = next();
    switch (token.type) {
      case Tok::integer:
        return literal(token.position, Value::integer(token.integer));
      case Tok::real:
        return literal(token.position, Value::real(token.real));
      case Tok::string:
        return literal(token.position, Value::string(std::string(token.text)));
      case Tok::name:
        if (token.text == "true") return literal(token.position, Value::real(1.0));
        if (token.text == "false") return literal(token.position, Value::real(0.0));
        return add({Op::entry, Scope::local, token.position, name_index(token.text), 0, 0}, {});
      case Tok::root_name:
        return add({Op::entry, Scope::root, token.position, name_index(token.text), 0, 0}, {});
      case Tok::left_paren: {
        const std::uint32_t inner = expression();
        if (peek().type != Tok::right_paren) {
          fail(peek().position,
               fmt::format("Expected ')' to close the '(' at position {}, found {}", token.position,
                           spelling(peek(), code_)));
        }
        ++i_;
        return inner;
      }
      default:
        --i_;  // the token stays where it is: end and separator must be seen by run()
        if (token.type == Tok::end) fail(token.position, "Expected operand");
        fail(token.position, fmt::format("Expected operand, found {}", spelling(token, code_)));
    }
  }

  std::string_view code_;
  std::vector<Token> tokens_;
  Program& p_;
  std::size_t i_ = 0;
  int nesting_ = 0;
  std::vector<int> depths_;  // per node: the height of its subtree
  std::unordered_map<std::string_view, std::uint32_t> name_indices_;  // views into the code
};

}  // namespace

Program parse_program(std::string_view code) {
  if (code.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw ScriptParseError(std::string(code.substr(0, 64)) + "...", 0, "The script is too long");
  }
  Program program;
  program.code = std::string(code);
  Parser(program.code, tokenize(program.code), program).run();
  return program;
}

}  // namespace kelmora::core::scripting::detail
