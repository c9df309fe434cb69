#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/node_status.hpp>
#include <memory>
#include <string_view>
#include <vector>

namespace kelmora::core {
namespace {

// The hooks, most recent first: a list that only grows, so that readers need no lock. Nodes are
// never freed: hooks are used from threads until the process ends.
struct HookNode {
  AnyHooks hooks;
  const HookNode* next = nullptr;
};

std::atomic<const HookNode*> g_hooks{nullptr};

template <class T>
using Member = std::function<std::optional<T>(const std::any&)> AnyHooks::*;

template <class T>
std::optional<T> ask_hooks(Member<T> member, const std::any& value) {
  for (const HookNode* node = g_hooks.load(std::memory_order_acquire); node != nullptr;
       node = node->next) {
    const auto& fn = node->hooks.*member;
    if (fn) {
      if (auto answer = fn(value)) return answer;
    }
  }
  return std::nullopt;
}

template <class T>
bool holds(const std::any& value) noexcept {
  return value.type() == typeid(T);
}

template <class T>
std::optional<std::int64_t> signed_value(const std::any& value) noexcept {
  if (!holds<T>(value)) return std::nullopt;
  return static_cast<std::int64_t>(*std::any_cast<T>(&value));
}

template <class T>
std::optional<unsigned long long> unsigned_value(const std::any& value) noexcept {
  if (!holds<T>(value)) return std::nullopt;
  return static_cast<unsigned long long>(*std::any_cast<T>(&value));
}

// An unsigned C++ integer of any width.
std::optional<unsigned long long> as_unsigned(const std::any& v) noexcept {
  if (auto u = unsigned_value<unsigned short>(v)) return u;
  if (auto u = unsigned_value<unsigned>(v)) return u;
  if (auto u = unsigned_value<unsigned long>(v)) return u;
  return unsigned_value<unsigned long long>(v);
}

// The readable names of the standard types kelmora itself stores; demangling spells some of them
// out in full ("std::__cxx11::basic_string<char, ...>").
const char* known_kind_name(const std::type_info& type) noexcept {
  if (type == typeid(std::string)) return "std::string";
  if (type == typeid(std::string_view)) return "std::string_view";
  if (type == typeid(const char*)) return "const char*";
  if (type == typeid(std::int64_t)) return "std::int64_t";
  if (type == typeid(std::uint64_t)) return "std::uint64_t";
  if (type == typeid(NodeStatus)) return "NodeStatus";
  if (type == typeid(AnyMap)) return "kelmora::core::AnyMap";
  if (type == typeid(std::vector<std::any>)) return "std::vector<std::any>";
  if (type == typeid(std::vector<std::string>)) return "std::vector<std::string>";
  if (type == typeid(std::vector<AnyMap>)) return "std::vector<kelmora::core::AnyMap>";
  if (type == typeid(std::vector<NodeStatus>)) return "std::vector<NodeStatus>";
  return nullptr;
}

}  // namespace

std::optional<std::int64_t> any_as_integer(const std::any& v) noexcept {
  if (auto i = signed_value<int>(v)) return i;
  if (auto i = signed_value<long>(v)) return i;
  if (auto i = signed_value<long long>(v)) return i;
  if (auto i = signed_value<short>(v)) return i;
  if (auto u = as_unsigned(v); u && *u <= static_cast<unsigned long long>(INT64_MAX)) {
    return static_cast<std::int64_t>(*u);
  }
  return std::nullopt;
}

std::optional<Scalar> any_as_scalar(const std::any& value) {
  if (holds<bool>(value)) return Scalar{*std::any_cast<bool>(&value)};
  if (auto i = any_as_integer(value)) return Scalar{*i};
  if (auto u = as_unsigned(value)) return Scalar{static_cast<double>(*u)};  // beyond the range
  if (holds<double>(value)) return Scalar{*std::any_cast<double>(&value)};
  if (holds<float>(value)) return Scalar{static_cast<double>(*std::any_cast<float>(&value))};
  return ask_hooks(&AnyHooks::as_scalar, value);
}

std::optional<std::string> any_as_string(const std::any& value) {
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  if (const auto* view = std::any_cast<std::string_view>(&value)) return std::string(*view);
  if (const auto* pointer = std::any_cast<const char*>(&value)) {
    return *pointer != nullptr ? std::optional<std::string>(*pointer) : std::nullopt;
  }
  return ask_hooks(&AnyHooks::as_string, value);
}

std::string any_to_text(const std::any& value) {
  if (auto hooked = ask_hooks(&AnyHooks::to_text, value)) return *hooked;
  if (!value.has_value()) return "none";
  if (auto text = any_as_string(value)) return *text;
  if (holds<bool>(value)) return *std::any_cast<bool>(&value) ? "true" : "false";
  if (auto i = any_as_integer(value)) return std::to_string(*i);
  if (auto u = as_unsigned(value)) return std::to_string(*u);
  if (holds<double>(value)) return fmt::format("{}", *std::any_cast<double>(&value));
  if (holds<float>(value)) return fmt::format("{}", *std::any_cast<float>(&value));
  if (holds<NodeStatus>(value)) return std::string(to_string(*std::any_cast<NodeStatus>(&value)));
  std::string text = "<";  // built in steps: GCC 12 -O3 misreports "<" + s + ">" (-Wrestrict)
  text += any_kind_name(value);
  text += '>';
  return text;
}

std::string any_kind_name(const std::any& value) {
  if (auto hooked = ask_hooks(&AnyHooks::kind_name, value)) return *hooked;
  if (!value.has_value()) return "none";
  if (const char* known = known_kind_name(value.type())) return known;
  return demangled_type_name(value.type());
}

void add_any_hooks(AnyHooks hooks) {
  auto node = std::make_unique<HookNode>();
  node->hooks = std::move(hooks);
  node->next = g_hooks.load(std::memory_order_acquire);
  while (!g_hooks.compare_exchange_weak(node->next, node.get(), std::memory_order_release,
                                        std::memory_order_acquire)) {
  }
  (void)node.release();  // owned by the list from now on, for the life of the process
}

}  // namespace kelmora::core
