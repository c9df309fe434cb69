#pragma once
// Where the Ollama model server is: parsed from the forms people write in OLLAMA_HOST.

#include <cstdint>
#include <string>
#include <string_view>

namespace kelmora::llm {

// The port Ollama listens on unless told otherwise.
inline constexpr std::uint16_t kDefaultOllamaPort = 11434;

struct ServerAddress {
  std::string scheme = "http";     // "http" or "https"
  std::string host = "127.0.0.1";  // a name, an IPv4 address, or an IPv6 address without brackets
  std::uint16_t port = kDefaultOllamaPort;

  // The base URL, e.g. "http://127.0.0.1:11434" or "http://[::1]:11434". Thread-safe.
  std::string url() const;

  bool operator==(const ServerAddress&) const = default;
};

// Parses a server address written as `host`, `host:port`, `:port` (loopback), `http://host[:port]`
// or `https://host[:port]`, each with or without one trailing `/`; an IPv6 host stands in
// brackets (`[::1]:11434`). Without a port, http uses 11434 and https 443. Surrounding blanks are
// ignored. Anything else (an empty text, another scheme, a path, a bad port, blanks inside)
// throws ValueError quoting the value. Thread-safe.
ServerAddress parse_ollama_host(std::string_view text);

// The server named by the environment variable OLLAMA_HOST, parsed as above; unset or empty gives
// http://127.0.0.1:11434. Throws ValueError for a value that does not parse. Reads the
// environment, which nobody may change meanwhile. Thread-safe.
ServerAddress server_from_environment();

}  // namespace kelmora::llm
