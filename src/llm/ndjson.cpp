#include <algorithm>
#include <cctype>
#include <cstdint>
#include <kelmora/llm/ndjson.hpp>
#include <limits>
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

// A counter of the final line: a non-negative number (a fraction is dropped), else 0.
std::int64_t counter(const Json& json, const char* name) {
  auto it = json.find(name);
  if (it == json.end()) return 0;
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    return value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(value);
  }
  if (it->is_number_integer()) return std::max<std::int64_t>(0, it->get<std::int64_t>());
  if (it->is_number_float()) {
    const double value = it->get<double>();
    if (!(value >= 0)) return 0;  // negative or NaN
    if (value >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value);
  }
  return 0;
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
    if (auto thinking = message->find("thinking"); thinking != message->end()) {
      if (!thinking->is_string()) return malformed("\"message.thinking\" is not text");
      line.thinking = thinking->get<std::string>();
    }
  }
  line.kind = done ? ChatLine::Kind::kDone : ChatLine::Kind::kContent;
  if (done) {
    if (auto reason = json.find("done_reason"); reason != json.end() && reason->is_string()) {
      line.summary.done_reason = reason->get<std::string>();
    }
    line.summary.total_duration = std::chrono::nanoseconds(counter(json, "total_duration"));
    line.summary.load_duration = std::chrono::nanoseconds(counter(json, "load_duration"));
    line.summary.prompt_eval_count = counter(json, "prompt_eval_count");
    line.summary.prompt_eval_duration =
        std::chrono::nanoseconds(counter(json, "prompt_eval_duration"));
    line.summary.eval_count = counter(json, "eval_count");
    line.summary.eval_duration = std::chrono::nanoseconds(counter(json, "eval_duration"));
  }
  return line;
}

ResponseItem ThinkTagSplitter::feed(std::string_view text) {
  static constexpr std::string_view kOpen = "<think>";
  static constexpr std::string_view kClose = "</think>";
  static constexpr const char* kBlanks = " \t\r\n";
  ResponseItem out;
  held_.append(text);
  while (true) {
    switch (state_) {
      case State::kStart: {
        const auto first = held_.find_first_not_of(kBlanks);
        if (first == std::string::npos) return out;  // only blanks so far: undecided
        const std::string_view rest = std::string_view(held_).substr(first);
        if (rest.substr(0, kOpen.size()) == kOpen) {
          held_.erase(0, first + kOpen.size());
          state_ = State::kThinking;
          continue;
        }
        if (rest.size() < kOpen.size() && kOpen.substr(0, rest.size()) == rest) return out;
        state_ = State::kAnswer;
        continue;
      }
      case State::kThinking: {
        if (const auto close = held_.find(kClose); close != std::string::npos) {
          out.thinking.append(held_, 0, close);
          held_.erase(0, close + kClose.size());
          state_ = State::kAfterThinking;
          continue;
        }
        // Keep the longest end that could begin "</think>".
        std::size_t keep = std::min(held_.size(), kClose.size() - 1);
        while (keep > 0 &&
               std::string_view(held_).substr(held_.size() - keep) != kClose.substr(0, keep)) {
          --keep;
        }
        out.thinking.append(held_, 0, held_.size() - keep);
        held_.erase(0, held_.size() - keep);
        return out;
      }
      case State::kAfterThinking: {
        const auto first = held_.find_first_not_of(kBlanks);
        if (first == std::string::npos) {
          held_.clear();
          return out;
        }
        held_.erase(0, first);
        state_ = State::kAnswer;
        continue;
      }
      case State::kAnswer:
        out.content.append(held_);
        held_.clear();
        return out;
    }
  }
}

ResponseItem ThinkTagSplitter::finish() {
  ResponseItem out;
  if (state_ == State::kThinking) {
    out.thinking = std::move(held_);
  } else {
    out.content = std::move(held_);
  }
  held_.clear();
  return out;
}

}  // namespace kelmora::llm
