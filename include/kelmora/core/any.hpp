#pragma once
// Values of any kind, as they travel through blackboards, commands and results.
//
// An empty std::any stands for "none". Hosts that embed kelmora (the Python module) store their
// own values in std::any and teach the two text functions below about them with a hook.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <typeinfo>
#include <variant>

namespace kelmora::core {

// A string-keyed map of values of any kind (blackboard contents, the tree status map).
using AnyMap = std::map<std::string, std::any>;

// The text form of a value, as used in messages: a string unchanged, "None" for an empty value,
// integers and floating-point numbers in decimal, "True"/"False" for bool, a NodeStatus by name,
// and whatever a registered hook returns for other kinds; otherwise "<" + kind name + ">".
// Thread-safe.
std::string any_to_text(const std::any& value);

// The value as text when it holds text (std::string, const char*, std::string_view, or a host
// string known to a hook); std::nullopt otherwise. Thread-safe.
std::optional<std::string> any_as_string(const std::any& value);

// A number or a truth value in plain C++ form.
using Scalar = std::variant<std::int64_t, double, bool>;

// The value as a number or truth value when it holds one: bool; int, long, long long, short and
// their unsigned forms (unsigned values beyond the std::int64_t range as double); double and
// float; or a host value a hook knows (the Python module's int, float and bool). std::nullopt for
// everything else, text included. Thread-safe.
std::optional<Scalar> any_as_scalar(const std::any& value);

// The short name of the value's kind: "NoneType", "str", "int", "float", "bool", "list", "dict",
// "NodeStatus", a hook's answer, or the demangled C++ type name. Thread-safe.
std::string any_kind_name(const std::any& value);

// A host's teaching for values the functions above do not know. Each member may be empty; a
// member returning std::nullopt passes the value on to the next hook and then to the default.
struct AnyHooks {
  std::function<std::optional<std::string>(const std::any&)> to_text;
  std::function<std::optional<std::string>(const std::any&)> as_string;
  std::function<std::optional<std::string>(const std::any&)> kind_name;
  std::function<std::optional<Scalar>(const std::any&)> as_scalar;
};

// The demangled name of a C++ type ("std::runtime_error", "ns::MyError"). Thread-safe.
std::string demangled_type_name(const std::type_info& type);

// Adds hooks consulted before the defaults, most recently added first. Thread-safe; meant to be
// called once at start-up by a host module.
void add_any_hooks(AnyHooks hooks);

}  // namespace kelmora::core
