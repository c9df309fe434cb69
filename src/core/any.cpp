#include <cxxabi.h>
#include <fmt/format.h>

#include <cstdint>
#include <cstdlib>
#include <kelmora/core/any.hpp>
#include <kelmora/core/node_status.hpp>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace kelmora::core {
namespace {

struct HookList {
  std::mutex mutex;
  std::vector<AnyHooks> hooks;  // most recent last
};

HookList& hook_list() {
  static HookList* list = new HookList{};  // never destroyed: used from threads during exit
  return *list;
}

template <class T>
using Member = std::function<std::optional<T>(const std::any&)> AnyHooks::*;

template <class T>
std::optional<T> ask_hooks(Member<T> member, const std::any& value) {
  std::vector<AnyHooks> hooks;
  {
    auto& list = hook_list();
    std::lock_guard lock(list.mutex);
    hooks = list.hooks;
  }
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
    const auto& fn = (*it).*member;
    if (fn) {
      if (auto answer = fn(value)) return answer;
    }
  }
  return std::nullopt;
}

template <class... Ts>
bool holds_any_of(const std::any& value) {
  return ((value.type() == typeid(Ts)) || ...);
}

std::optional<std::int64_t> as_integer(const std::any& v) {
  if (v.type() == typeid(int)) return std::any_cast<int>(v);
  if (v.type() == typeid(long)) return std::any_cast<long>(v);
  if (v.type() == typeid(long long)) return std::any_cast<long long>(v);
  if (v.type() == typeid(unsigned)) return std::any_cast<unsigned>(v);
  if (v.type() == typeid(short)) return std::any_cast<short>(v);
  if (v.type() == typeid(unsigned short)) return std::any_cast<unsigned short>(v);
  return std::nullopt;
}

// An unsigned long or unsigned long long, which may lie beyond the std::int64_t range.
std::optional<unsigned long long> as_wide_unsigned(const std::any& v) {
  if (v.type() == typeid(unsigned long)) return std::any_cast<unsigned long>(v);
  if (v.type() == typeid(unsigned long long)) return std::any_cast<unsigned long long>(v);
  return std::nullopt;
}

}  // namespace

std::string demangled_type_name(const std::type_info& type) {
  const char* mangled = type.name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(mangled);
}

std::optional<Scalar> any_as_scalar(const std::any& value) {
  if (auto hooked = ask_hooks(&AnyHooks::as_scalar, value)) return hooked;
  if (value.type() == typeid(bool)) return Scalar{std::any_cast<bool>(value)};
  if (auto i = as_integer(value)) return Scalar{*i};
  if (auto u = as_wide_unsigned(value)) {
    constexpr auto kMax = static_cast<unsigned long long>(INT64_MAX);
    if (*u <= kMax) return Scalar{static_cast<std::int64_t>(*u)};
    return Scalar{static_cast<double>(*u)};
  }
  if (value.type() == typeid(double)) return Scalar{std::any_cast<double>(value)};
  if (value.type() == typeid(float))
    return Scalar{static_cast<double>(std::any_cast<float>(value))};
  return std::nullopt;
}

std::optional<std::string> any_as_string(const std::any& value) {
  if (auto hooked = ask_hooks(&AnyHooks::as_string, value)) return hooked;
  if (value.type() == typeid(std::string)) return std::any_cast<const std::string&>(value);
  if (value.type() == typeid(std::string_view))
    return std::string(std::any_cast<std::string_view>(value));
  if (value.type() == typeid(const char*)) {
    const char* p = std::any_cast<const char*>(value);
    return p ? std::optional<std::string>(p) : std::nullopt;
  }
  return std::nullopt;
}

std::string any_to_text(const std::any& value) {
  if (auto hooked = ask_hooks(&AnyHooks::to_text, value)) return *hooked;
  if (!value.has_value()) return "None";
  if (auto text = any_as_string(value)) return *text;
  if (value.type() == typeid(bool)) return std::any_cast<bool>(value) ? "True" : "False";
  if (auto i = as_integer(value)) return std::to_string(*i);
  if (auto u = as_wide_unsigned(value)) return std::to_string(*u);
  if (value.type() == typeid(double)) return fmt::format("{}", std::any_cast<double>(value));
  if (value.type() == typeid(float)) return fmt::format("{}", std::any_cast<float>(value));
  if (value.type() == typeid(NodeStatus))
    return std::string(to_string(std::any_cast<NodeStatus>(value)));
  std::string text = "<";  // built in steps: GCC 12 -O3 misreports "<" + s + ">" (-Wrestrict)
  text += any_kind_name(value);
  text += '>';
  return text;
}

std::string any_kind_name(const std::any& value) {
  if (auto hooked = ask_hooks(&AnyHooks::kind_name, value)) return *hooked;
  if (!value.has_value()) return "NoneType";
  if (holds_any_of<std::string, std::string_view, const char*>(value)) return "str";
  if (value.type() == typeid(bool)) return "bool";
  if (as_integer(value) || as_wide_unsigned(value)) return "int";
  if (holds_any_of<double, float>(value)) return "float";
  if (value.type() == typeid(NodeStatus)) return "NodeStatus";
  if (holds_any_of<AnyMap>(value)) return "dict";
  if (holds_any_of<std::vector<std::any>, std::vector<NodeStatus>, std::vector<std::string>,
                   std::vector<AnyMap>>(value)) {
    return "list";
  }
  return demangled_type_name(value.type());
}

void add_any_hooks(AnyHooks hooks) {
  auto& list = hook_list();
  std::lock_guard lock(list.mutex);
  list.hooks.push_back(std::move(hooks));
}

}  // namespace kelmora::core
