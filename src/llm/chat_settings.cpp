#include <cmath>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/chat_settings.hpp>
#include <nlohmann/json.hpp>

namespace kelmora::llm {
namespace {

using Json = nlohmann::json;

std::string json_text(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// Whether `text` is a duration in the server's notation (that of Go's time.ParseDuration).
bool valid_duration(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  if (text == "0") return true;
  if (text.empty()) return false;
  static constexpr std::string_view kUnits[] = {"ns", "us", "\xC2\xB5s", "\xCE\xBCs",
                                                "ms", "s",  "m",         "h"};
  while (!text.empty()) {
    std::size_t digits = 0;
    std::size_t at = 0;
    while (at < text.size() && digit(text[at])) ++at, ++digits;
    if (at < text.size() && text[at] == '.') {
      ++at;
      while (at < text.size() && digit(text[at])) ++at, ++digits;
    }
    if (digits == 0) return false;
    text.remove_prefix(at);
    std::string_view unit;
    for (std::string_view candidate : kUnits) {
      // The longest unit that fits: "ms" before "m", "ns" and "us" before nothing else.
      if (text.substr(0, candidate.size()) == candidate && candidate.size() > unit.size()) {
        unit = candidate;
      }
    }
    if (unit.empty()) return false;
    text.remove_prefix(unit.size());
  }
  return true;
}

void check_number(const std::string& name, double value) {
  if (!std::isfinite(value)) {
    throw ValueError("the model option \"" + name + "\" is not a finite number");
  }
}

template <class T>
void put(Json& json, const char* name, const std::optional<T>& value) {
  if (value) json[name] = *value;
}

}  // namespace

std::string_view Think::checked(const char* level) {
  if (level == nullptr) throw ValueError("invalid think level: a null pointer");
  return level;
}

Think::Think(std::string_view level) : level_(level) {
  if (level != "low" && level != "medium" && level != "high") {
    throw ValueError("invalid think level " + json_text(level) +
                     ": expected true, false, \"low\", \"medium\" or \"high\"");
  }
}

std::string Think::json() const {
  if (!level_.empty()) return json_text(level_);
  return on_ ? "true" : "false";
}

std::string_view KeepAlive::checked(const char* duration) {
  if (duration == nullptr) throw ValueError("invalid keep_alive: a null pointer");
  return duration;
}

KeepAlive::KeepAlive(std::string_view duration) : text_(duration) {
  if (!valid_duration(duration)) {
    throw ValueError("invalid keep_alive " + json_text(duration) +
                     ": expected a duration such as \"5m\", \"1h30m\", \"-1m\" or \"0\", or a "
                     "length of time");
  }
}

std::string KeepAlive::json() const {
  if (!text_.empty()) return json_text(text_);
  if (std::isfinite(seconds_) && seconds_ == std::trunc(seconds_) && std::fabs(seconds_) < 9e15) {
    return Json(static_cast<std::int64_t>(seconds_)).dump();
  }
  return Json(seconds_).dump();
}

bool ModelOptions::empty() const noexcept {
  return !temperature && !top_p && !top_k && !num_ctx && !num_predict && !seed && stop.empty() &&
         extra.empty();
}

ModelOptions ModelOptions::merged_with(const ModelOptions& over) const {
  ModelOptions merged = *this;
  auto take = [](auto& mine, const auto& theirs) {
    if (theirs) mine = theirs;
  };
  take(merged.temperature, over.temperature);
  take(merged.top_p, over.top_p);
  take(merged.top_k, over.top_k);
  take(merged.num_ctx, over.num_ctx);
  take(merged.num_predict, over.num_predict);
  take(merged.seed, over.seed);
  if (!over.stop.empty()) merged.stop = over.stop;
  for (const auto& [name, value] : over.extra) merged.extra[name] = value;
  return merged;
}

void ModelOptions::check() const {
  if (temperature) check_number("temperature", *temperature);
  if (top_p) check_number("top_p", *top_p);
  static constexpr std::string_view kFields[] = {"temperature", "top_p", "top_k", "num_ctx",
                                                 "num_predict", "seed",  "stop"};
  for (const auto& [name, value] : extra) {
    if (name.empty()) throw ValueError("a model option in extra has an empty name");
    for (std::string_view field : kFields) {
      if (name == field) {
        throw ValueError("the model option \"" + name +
                         "\" is given in extra, but it has a field of its own: set that");
      }
    }
    if (const double* number = std::get_if<double>(&value)) check_number(name, *number);
  }
}

std::string ModelOptions::json() const {
  Json json = Json::object();
  put(json, "temperature", temperature);
  put(json, "top_p", top_p);
  put(json, "top_k", top_k);
  put(json, "num_ctx", num_ctx);
  put(json, "num_predict", num_predict);
  put(json, "seed", seed);
  if (!stop.empty()) json["stop"] = stop;
  for (const auto& entry : extra) {
    Json& slot = json[entry.first];
    std::visit([&slot](const auto& v) { slot = v; }, entry.second);
  }
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kelmora::llm
