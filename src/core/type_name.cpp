#include <cxxabi.h>

#include <cstdlib>
#include <kelmora/core/type_name.hpp>
#include <memory>

namespace kelmora::core {

std::string demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(mangled);
}

std::string demangled_type_name(const std::type_info& type) { return demangle(type.name()); }

std::string short_type_name(std::string_view name) {
  std::size_t start = 0;
  int depth = 0;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    const char c = name[i];
    if (c == '<' || c == '(') {
      ++depth;
    } else if ((c == '>' || c == ')') && depth > 0) {
      --depth;
    } else if (depth == 0 && c == ':' && name[i + 1] == ':') {
      start = i + 2;
      ++i;
    }
  }
  return std::string(name.substr(start));
}

std::string short_type_name(const std::type_info& type) {
  return short_type_name(demangled_type_name(type));
}

}  // namespace kelmora::core
