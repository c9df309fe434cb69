#include <algorithm>
#include <cctype>
#include <kelmora/llm/ndjson.hpp>
#include <nlohmann/json.hpp>

namespace kelmora::llm {
namespace {

using Json = nlohmann::json;

ChatLine malformed(std::string why) {
  ChatLine line;
  line.kind = ChatLine::Kind::kMalformed;
  line.error = std::move(why);
  return line;
}

std::string strip_cr(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

LineSplitter::LineSplitter(std::size_t max_line_bytes) : max_line_bytes_(max_line_bytes) {}

std::vector<std::string> LineSplitter::feed(std::string_view chunk) {
  std::vector<std::string> lines;
  while (!chunk.empty()) {
    auto newline = chunk.find('\n');
    std::string_view part = chunk.substr(0, newline);
    if (pending_.size() + part.size() > max_line_bytes_) {
      pending_.clear();
      throw LineTooLongError("a line longer than " + std::to_string(max_line_bytes_) + " bytes");
    }
    pending_.append(part);
    if (newline == std::string_view::npos) break;
    lines.push_back(strip_cr(std::move(pending_)));
    pending_.clear();
    chunk.remove_prefix(newline + 1);
  }
  return lines;
}

std::optional<std::string> LineSplitter::finish() {
  std::string rest = strip_cr(std::move(pending_));
  pending_.clear();
  if (rest.empty()) return std::nullopt;  // nothing, or only the '\r' of an unfinished line end
  return rest;
}

ChatLine parse_chat_line(std::string_view text) {
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; })) {
    return ChatLine{};
  }
  Json json = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return malformed("not JSON");
  if (!json.is_object()) return malformed("not a JSON object");

  if (auto it = json.find("error"); it != json.end()) {
    ChatLine line;
    line.kind = ChatLine::Kind::kError;
    line.error = it->is_string() ? it->get<std::string>() : it->dump();
    return line;
  }

  ChatLine line;
  bool done = false;
  if (auto it = json.find("done"); it != json.end()) {
    if (!it->is_boolean()) return malformed("\"done\" is not true or false");
    done = it->get<bool>();
  }
  auto message = json.find("message");
  if (message == json.end()) {
    if (!done) return malformed("it has neither \"message\" nor \"done\"");
  } else {
    if (!message->is_object()) return malformed("\"message\" is not an object");
    if (auto content = message->find("content"); content != message->end()) {
      if (!content->is_string()) return malformed("\"message.content\" is not text");
      line.content = content->get<std::string>();
    }
  }
  line.kind = done ? ChatLine::Kind::kDone : ChatLine::Kind::kContent;
  return line;
}

}  // namespace kelmora::llm
