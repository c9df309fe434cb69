// The model-server checks: a streamed answer cut into lines and classified, and OLLAMA_HOST.

#include <algorithm>
#include <cctype>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/ndjson.hpp>
#include <kelmora/llm/server_address.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"

namespace kelmora::fuzz {
namespace {

using llm::ChatLine;
using llm::LineSplitter;

[[noreturn]] void found(const std::string& what, std::string_view input) {
  throw FuzzFinding(what + " (input of " + std::to_string(input.size()) + " bytes)");
}

// What splitting should give, worked out on the whole text at once.
struct Split {
  std::vector<std::string> lines;       // complete lines, then the last one without '\n'
  std::optional<std::size_t> too_long;  // index of the first line longer than the limit
};

std::string without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(line);
}

Split reference_split(std::string_view stream, std::size_t limit) {
  Split split;
  for (;;) {
    const auto newline = stream.find('\n');
    const std::string_view raw = stream.substr(0, newline);
    if (raw.size() > limit && !split.too_long) split.too_long = split.lines.size();
    if (newline == std::string_view::npos) {
      // The last line has no '\n': it counts unless nothing (or only its '\r') is left.
      if (std::string rest = without_cr(raw); !rest.empty()) split.lines.push_back(rest);
      return split;
    }
    split.lines.push_back(without_cr(raw));
    stream.remove_prefix(newline + 1);
  }
}

// What a LineSplitter gave when fed `stream` in chunks of the sizes `next_size` picks.
struct Fed {
  std::vector<std::string> lines;
  std::optional<std::string> error;
};

template <class NextSize>
Fed feed_in_chunks(std::string_view stream, std::size_t limit, NextSize next_size) {
  Fed fed;
  LineSplitter splitter(limit);
  try {
    while (!stream.empty()) {
      const std::size_t size = std::min(stream.size(), next_size());
      for (auto& line : splitter.feed(stream.substr(0, size))) fed.lines.push_back(std::move(line));
      stream.remove_prefix(size);
    }
    if (auto last = splitter.finish()) fed.lines.push_back(std::move(*last));
  } catch (const llm::LineTooLongError& e) {
    fed.error = e.what();
  }
  return fed;
}

void compare(const Fed& fed, const Split& expected, std::size_t limit, const char* how,
             std::string_view input) {
  const std::string label = std::string("fed ") + how + ": ";
  if (!expected.too_long) {
    if (fed.error) found(label + "unexpected " + *fed.error, input);
    if (fed.lines != expected.lines) found(label + "lines differ from the whole-text split", input);
    return;
  }
  const std::string message = "a line longer than " + std::to_string(limit) + " bytes";
  if (fed.error != message) found(label + "no \"" + message + "\" for an over-long line", input);
  if (fed.lines.size() > *expected.too_long ||
      !std::equal(fed.lines.begin(), fed.lines.end(), expected.lines.begin())) {
    found(label + "lines before the over-long one differ", input);
  }
}

bool blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
}

void check_chat_line(const std::string& line, std::string_view input) {
  ChatLine chat;
  try {
    chat = llm::parse_chat_line(line);
  } catch (...) {
    found("parse_chat_line threw", input);
  }
  using Kind = ChatLine::Kind;
  if ((chat.kind == Kind::kBlank) != blank(line)) found("blank lines misclassified", input);
  if ((!chat.content.empty() || !chat.thinking.empty()) && chat.kind != Kind::kContent &&
      chat.kind != Kind::kDone) {
    found("content or thinking outside a content or done line", input);
  }
  if (chat.kind != Kind::kDone && !(chat.summary == llm::ChatSummary{})) {
    found("a summary on a line that is not the final one", input);
  }
  const auto& s = chat.summary;
  if (s.total_duration.count() < 0 || s.load_duration.count() < 0 || s.prompt_eval_count < 0 ||
      s.prompt_eval_duration.count() < 0 || s.eval_count < 0 || s.eval_duration.count() < 0) {
    found("a negative counter", input);
  }
  if (chat.kind == Kind::kMalformed && chat.error.empty()) found("malformed without why", input);
  if (!chat.error.empty() && chat.kind != Kind::kError && chat.kind != Kind::kMalformed) {
    found("an error text on a line that is no error", input);
  }
}

// The think-tag splitter gives the same thinking and answer however the text is cut.
llm::ResponseItem split_think_tags(const std::vector<std::string_view>& pieces) {
  llm::ThinkTagSplitter splitter;
  llm::ResponseItem joined;
  auto add = [&](const llm::ResponseItem& item) {
    joined.content += item.content;
    joined.thinking += item.thinking;
  };
  for (auto piece : pieces) add(splitter.feed(piece));
  add(splitter.finish());
  return joined;
}

void check_think_tags(const std::vector<std::string>& lines, std::string_view input) {
  std::string text;
  std::vector<std::string> contents;
  for (const auto& line : lines) {
    ChatLine chat = llm::parse_chat_line(line);
    if (!chat.content.empty()) contents.push_back(chat.content);
  }
  for (const auto& content : contents) text += content;
  const llm::ResponseItem whole = split_think_tags({text});
  if (split_think_tags(std::vector<std::string_view>(contents.begin(), contents.end())) != whole) {
    found("think tags split differently by line than whole", input);
  }
  if (text.size() <= 4096) {
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < text.size(); ++i)
      bytes.push_back(std::string_view(text).substr(i, 1));
    if (split_think_tags(bytes) != whole) found("think tags split differently byte by byte", input);
  }
  const auto first = text.find_first_not_of(" \t\r\n");
  if ((first == std::string::npos || text.compare(first, 7, "<think>") != 0) &&
      (whole.content != text || !whole.thinking.empty())) {
    found("an answer without leading think tags was changed", input);
  }
}

// Host characters a URL cannot carry as they are.
bool unfit_host_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f || std::isspace(u) != 0 || c == '/' || c == '@' || c == '?' ||
         c == '#' || c == '[' || c == ']' || c == '\\';
}

}  // namespace

void check_ndjson(std::string_view input) {
  if (input.size() < 2) return;
  const auto first = static_cast<unsigned char>(input[0]);
  const std::size_t limit = first == 0 ? llm::kDefaultMaxLineBytes : std::size_t{first} * 8;
  unsigned state = static_cast<unsigned char>(input[1]) * 2654435761u + 1;
  const unsigned widest = static_cast<unsigned char>(input[1]) % 64 + 1;
  const std::string_view stream = input.substr(2);

  const Split expected = reference_split(stream, limit);
  compare(feed_in_chunks(stream, limit, [&] { return stream.size(); }), expected, limit, "whole",
          input);
  compare(feed_in_chunks(stream, limit,
                         [&] {
                           state = state * 1103515245u + 12345u;
                           return std::size_t{(state >> 16) % widest + 1};
                         }),
          expected, limit, "in chunks", input);
  if (stream.size() <= 4096) {
    compare(feed_in_chunks(stream, limit, [] { return std::size_t{1}; }), expected, limit,
            "byte by byte", input);
  }
  for (const auto& line : expected.lines) check_chat_line(line, input);
  check_think_tags(expected.lines, input);
}

void check_ollama_host(std::string_view text) {
  llm::ServerAddress address;
  try {
    address = llm::parse_ollama_host(text);
  } catch (const ValueError& e) {
    std::string prefix = "invalid Ollama server address \"" + std::string(text) + "\": ";
    prefix = prefix.substr(0, prefix.find('\0'));  // what() ends at the first NUL
    if (std::string_view(e.what()).rfind(prefix, 0) != 0) {
      found(std::string("an error that does not quote the value: ") + e.what(), text);
    }
    return;
  }
  if (address.scheme != "http" && address.scheme != "https") found("unknown scheme", text);
  if (address.port == 0) found("port 0", text);
  if (address.host.empty()) found("empty host", text);
  if (std::any_of(address.host.begin(), address.host.end(), unfit_host_char)) {
    found("a host with characters a URL cannot carry: " + address.url(), text);
  }
  try {
    if (llm::parse_ollama_host(address.url()) != address) {
      found("url() does not parse back to the same address: " + address.url(), text);
    }
  } catch (const ValueError& e) {
    found(std::string("url() does not parse: ") + e.what(), text);
  }
}

}  // namespace kelmora::fuzz
