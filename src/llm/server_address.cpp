#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/server_address.hpp>

#include "common/text.hpp"

namespace kelmora::llm {
namespace {

using common::trim;

constexpr std::uint16_t kHttpsPort = 443;
constexpr std::string_view kForms =
    "expected host, host:port, :port, http://host[:port] or https://host[:port]";

[[noreturn]] void fail(std::string_view text, std::string_view reason) {
  throw ValueError("invalid Ollama server address \"" + std::string(text) +
                   "\": " + std::string(reason) + " (" + std::string(kForms) + ")");
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::uint16_t parse_port(std::string_view original, std::string_view digits) {
  if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    fail(original, "the port \"" + std::string(digits) + "\" is not a number from 1 to 65535");
  }
  unsigned long value = std::strtoul(std::string(digits).c_str(), nullptr, 10);
  if (value == 0 || value > 65535) {
    fail(original, "the port \"" + std::string(digits) + "\" is not a number from 1 to 65535");
  }
  return static_cast<std::uint16_t>(value);
}

// Characters a host name or address may not contain (userinfo, paths, queries, blanks, and
// control characters such as NUL, which would cut the URL short).
bool bad_host_char(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0 ||
         std::iscntrl(static_cast<unsigned char>(c)) != 0 || c == '/' || c == '@' || c == '?' ||
         c == '#' || c == '[' || c == ']' || c == '\\';
}

}  // namespace

std::string ServerAddress::url() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return scheme + "://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

ServerAddress parse_ollama_host(std::string_view text) {
  std::string_view rest = trim(text);
  if (rest.empty()) fail(text, "it is empty");

  ServerAddress address;
  address.scheme = "http";
  if (auto sep = rest.find("://"); sep != std::string_view::npos) {
    address.scheme = lower(rest.substr(0, sep));
    if (address.scheme != "http" && address.scheme != "https") {
      fail(text, "the scheme \"" + std::string(rest.substr(0, sep)) + "\" is not http or https");
    }
    rest.remove_prefix(sep + 3);
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('/') != std::string_view::npos) fail(text, "it has a path");

  std::string_view host;
  std::string_view port;
  bool has_port = false;
  if (!rest.empty() && rest.front() == '[') {
    auto close = rest.find(']');
    if (close == std::string_view::npos) fail(text, "the IPv6 address has no closing ']'");
    host = rest.substr(1, close - 1);
    std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') fail(text, "unexpected text after the IPv6 address");
      port = after.substr(1);
      has_port = true;
    }
    if (host.empty() ||
        host.find_first_not_of("0123456789abcdefABCDEF:.%") != std::string_view::npos) {
      fail(text, "the IPv6 address is malformed");
    }
  } else {
    auto colon = rest.find(':');
    if (colon != std::string_view::npos && rest.find(':', colon + 1) != std::string_view::npos) {
      fail(text, "an IPv6 address must stand in brackets");
    }
    host = rest.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = rest.substr(colon + 1);
      has_port = true;
    }
    if (host.empty()) {
      if (!has_port) fail(text, "it names no host");
      host = "127.0.0.1";  // ":port" means the loopback interface
    }
    if (std::any_of(host.begin(), host.end(), bad_host_char)) {
      fail(text, "the host \"" + std::string(host) + "\" is malformed");
    }
  }
  address.host = std::string(host);
  if (has_port) {
    address.port = parse_port(text, port);
  } else {
    address.port = address.scheme == "https" ? kHttpsPort : kDefaultOllamaPort;
  }
  return address;
}

ServerAddress server_from_environment() {
  const char* value = std::getenv("OLLAMA_HOST");
  if (value == nullptr || trim(value).empty()) return ServerAddress{};
  return parse_ollama_host(value);
}

}  // namespace kelmora::llm
