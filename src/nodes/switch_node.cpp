#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/scripting.hpp>
#include <kelmora/nodes/switch_node.hpp>
#include <type_traits>
#include <utility>
#include <variant>

namespace kelmora::nodes {

using core::NodeStatus;

namespace {

using Number = std::variant<std::int64_t, double>;

// The text as a number: a whole decimal integer, a decimal real (digits, '.', an exponent), or a
// registered enum name. Nothing else: no white space, no trailing characters, no "inf".
std::optional<Number> as_number(std::string_view text, const core::scripting::EnumRegistry* enums) {
  if (text.empty()) return std::nullopt;
  const char first = text.front();
  const bool numeric = (first >= '0' && first <= '9') || first == '-' || first == '.';
  if (!numeric) {
    if (enums != nullptr) {
      if (auto value = enums->find(text)) return Number{*value};
    }
    return std::nullopt;
  }
  const char* begin = text.data();
  const char* end = begin + text.size();
  std::int64_t integer = 0;
  if (auto [ptr, ec] = std::from_chars(begin, end, integer); ec == std::errc() && ptr == end) {
    return Number{integer};
  }
  for (const char c : text.substr(first == '-' ? 1 : 0)) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
      return std::nullopt;
    }
  }
  double real = 0;
  if (auto [ptr, ec] = std::from_chars(begin, end, real); ec == std::errc() && ptr == end) {
    return Number{real};
  }
  return std::nullopt;
}

bool equal_numbers(const Number& a, const Number& b) {
  if (std::holds_alternative<std::int64_t>(a) && std::holds_alternative<std::int64_t>(b)) {
    return std::get<std::int64_t>(a) == std::get<std::int64_t>(b);
  }
  auto real = [](const Number& n) {
    return std::visit([](auto v) { return static_cast<double>(v); }, n);
  };
  return real(a) == real(b);
}

}  // namespace

bool switch_case_matches(std::string_view variable, std::string_view case_value,
                         const core::scripting::EnumRegistry* enums) {
  if (variable == case_value) return true;
  const auto a = as_number(variable, enums);
  if (!a) return false;
  const auto b = as_number(case_value, enums);
  return b && equal_numbers(*a, *b);
}

SwitchNode::SwitchNode(core::NodeConfig config, std::size_t cases)
    : ControlNode(std::move(config)), cases_(cases) {}

std::optional<std::string> SwitchNode::variableText() const {
  if (!isPortBound("variable")) return std::nullopt;
  const std::any value = getInputObject("variable");
  if (auto text = core::any_as_string(value)) return text;
  const auto scalar = core::any_as_scalar(value);
  if (!scalar) return std::nullopt;  // never written, or a value of another kind
  return std::visit(
      [](auto v) -> std::string {
        if constexpr (std::is_same_v<decltype(v), bool>) {
          return v ? "true" : "false";
        } else {
          return fmt::format("{}", v);
        }
      },
      *scalar);
}

std::size_t SwitchNode::pick() const {
  const auto variable = variableText();
  if (!variable) return cases_;
  for (std::size_t i = 0; i < cases_; ++i) {
    const std::string port = case_port(i + 1);
    if (!isPortBound(port)) continue;
    std::string case_value;
    try {
      case_value = getInputString(port);
    } catch (const core::PortError&) {
      continue;  // an entry never written, or holding no text: this case cannot match
    }
    if (switch_case_matches(*variable, case_value)) return i;
  }
  return cases_;
}

NodeStatus SwitchNode::onTick() {
  const std::size_t picked = pick();
  if (running_ != kNone && running_ != picked) haltChild(running_);
  running_ = kNone;
  setStatus(NodeStatus::RUNNING);
  const NodeStatus result = child(picked).executeTick();
  if (result == NodeStatus::RUNNING) {
    running_ = picked;
    return result;
  }
  haltChildren();
  return result;
}

}  // namespace kelmora::nodes
