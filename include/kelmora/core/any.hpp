#pragma once
// Values of any kind, as they travel through blackboards, commands and results.
//
// An empty std::any stands for "none". The functions below speak of C++ values in C++ words.
// Hosts that embed kelmora (the Python module) store their own values in std::any and teach these
// functions about them with hooks; a host's hooks may also name C++ values in the host's own
// words, since in that process every message ends up in front of the host's users.

#include <any>
#include <cstdint>
#include <functional>
#include <kelmora/core/type_name.hpp>
#include <map>
#include <optional>
#include <string>
#include <variant>

namespace kelmora::core {

// A string-keyed map of values of any kind (blackboard contents, the tree status map).
using AnyMap = std::map<std::string, std::any>;

// The text form of a value, as used in messages: a registered hook's answer first; otherwise text
// unchanged, "none" for an empty value, integers and floating-point numbers in decimal,
// "true"/"false" for bool, a NodeStatus by name, and "<" + kind name + ">" for anything else.
// Thread-safe.
std::string any_to_text(const std::any& value);

// The value as text when it holds text (std::string, std::string_view, a non-null const char*,
// or a host string a hook knows); std::nullopt otherwise. A std::string is answered without
// consulting any hook. Thread-safe.
std::optional<std::string> any_as_string(const std::any& value);

// A number or a truth value in plain C++ form.
using Scalar = std::variant<std::int64_t, double, bool>;

// The value as a number or truth value when it holds one: bool; a C++ integer (see
// any_as_integer; unsigned values beyond the std::int64_t range as double); double and float; or
// a host value a hook knows (the Python module's int, float and bool). std::nullopt for
// everything else, text included. C++ values are answered without consulting any hook.
// Thread-safe.
std::optional<Scalar> any_as_scalar(const std::any& value);

// The value as a std::int64_t when it holds a C++ integer type (short, int, long, long long and
// their unsigned forms; not bool, not a character type) whose value fits in std::int64_t;
// std::nullopt otherwise. Hooks are not consulted: any_as_scalar also knows a host's numbers.
// Thread-safe.
std::optional<std::int64_t> any_as_integer(const std::any& value) noexcept;

// The name of the value's kind, for messages: a registered hook's answer first; otherwise "none"
// for an empty value, "std::string", "std::string_view", "const char*", "bool", "int",
// "std::int64_t", "double", "NodeStatus", "kelmora::core::AnyMap", "std::vector<std::any>", ...:
// the C++ type, demangled, with the standard library's long spellings shortened. Thread-safe.
std::string any_kind_name(const std::any& value);

// A host's teaching for values the functions above do not know. Each member may be empty; a
// member returning std::nullopt passes the value on to the next hook and then to the default.
struct AnyHooks {
  std::function<std::optional<std::string>(const std::any&)> to_text;
  std::function<std::optional<std::string>(const std::any&)> as_string;
  std::function<std::optional<std::string>(const std::any&)> kind_name;
  std::function<std::optional<Scalar>(const std::any&)> as_scalar;
};

// Adds hooks consulted before the defaults of any_to_text and any_kind_name, and after the C++
// kinds of any_as_string and any_as_scalar; the most recently added hooks are asked first. The
// hooks are kept for the life of the process and must be callable from any thread. Meant to be
// called once at start-up by a host module. Thread-safe: reading values takes no lock (the hooks
// are a list that only grows, read with one atomic load), so trees on different threads never
// wait for each other here.
void add_any_hooks(AnyHooks hooks);

}  // namespace kelmora::core
