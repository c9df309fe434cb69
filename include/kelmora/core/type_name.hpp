#pragma once
// Readable names of C++ types, for messages and for naming things after their class.

#include <string>
#include <string_view>
#include <typeinfo>

namespace kelmora::core {

// The demangled form of a mangled type name ("St13runtime_error" -> "std::runtime_error"), or the
// name unchanged when it cannot be demangled. Thread-safe.
std::string demangle(const char* mangled);

// The demangled name of a C++ type ("std::runtime_error", "ns::MyError"). Thread-safe.
std::string demangled_type_name(const std::type_info& type);

// A demangled name without the namespaces and enclosing classes or functions in front of it: the
// part after the last "::" outside template arguments and parameter lists, so that
// "ns::Outer<ns::X>" gives "Outer<ns::X>" and "f()::Local" gives "Local". Thread-safe.
std::string short_type_name(std::string_view demangled_name);

// short_type_name(demangled_type_name(type)): a class's own name ("app::MoveArm" -> "MoveArm").
// Thread-safe.
std::string short_type_name(const std::type_info& type);

}  // namespace kelmora::core
