#pragma once
// JSON text for the monitor's endpoints.

#include <cstdio>
#include <string>
#include <string_view>

namespace kelmora::observe::details {

// `text` as a JSON string, quoted and escaped (control characters as \u00XX; bytes above 0x7F
// pass unchanged, so UTF-8 stays UTF-8). Thread-safe.
inline std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace kelmora::observe::details
