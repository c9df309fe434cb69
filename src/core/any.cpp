#include <cxxabi.h>
#include <fmt/format.h>

#include <cstdint>
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

using Member = std::function<std::optional<std::string>(const std::any&)> AnyHooks::*;

std::optional<std::string> ask_hooks(Member member, const std::any& value) {
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
  if (v.type() == typeid(unsigned long))
    return static_cast<std::int64_t>(std::any_cast<unsigned long>(v));
  if (v.type() == typeid(short)) return std::any_cast<short>(v);
  return std::nullopt;
}

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(mangled);
}

}  // namespace

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
  if (as_integer(value)) return "int";
  if (holds_any_of<double, float>(value)) return "float";
  if (value.type() == typeid(NodeStatus)) return "NodeStatus";
  if (holds_any_of<AnyMap>(value)) return "dict";
  if (holds_any_of<std::vector<std::any>, std::vector<NodeStatus>, std::vector<std::string>,
                   std::vector<AnyMap>>(value)) {
    return "list";
  }
  return demangle(value.type().name());
}

void add_any_hooks(AnyHooks hooks) {
  auto& list = hook_list();
  std::lock_guard lock(list.mutex);
  list.hooks.push_back(std::move(hooks));
}

}  // namespace kelmora::core
