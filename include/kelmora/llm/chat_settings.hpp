#pragma once
// What a chat asks of a model besides its messages: whether it thinks (Think), how it generates
// (ModelOptions, the request's "options" object) and how long the server keeps it loaded
// afterwards (KeepAlive). Each is sent only when set.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace kelmora::llm {

namespace details {
template <class T>
concept Number = std::is_arithmetic_v<T>;
template <class T>
concept NumberNotFlag = Number<T> && !std::is_same_v<T, bool>;
}  // namespace details

// The request's "think": true, false, or a level "low", "medium" or "high". A thinking model
// thinks when the request has no "think" at all, so leaving it unset is not the same as false.
// A value type: immutable, thread-safe.
class Think {
 public:
  // think = true / think = false.
  Think(bool on) noexcept : on_(on) {}  // NOLINT(google-explicit-constructor)
  // A level: "low", "medium" or "high". Throws ValueError naming any other text (or a null
  // pointer).
  Think(const char* level) : Think(checked(level)) {}  // NOLINT(google-explicit-constructor)
  Think(std::string_view level);                       // NOLINT(google-explicit-constructor)
  // Numbers are refused at compile time: Think(1) would silently mean true.
  template <details::NumberNotFlag T>
  Think(T) = delete;

  // False only for Think(false); a level thinks.
  bool enabled() const noexcept { return on_; }
  // "low", "medium" or "high"; "" for true and false.
  const std::string& level() const noexcept { return level_; }
  // As the request carries it: true, false, "low", ... (JSON text). Thread-safe.
  std::string json() const;

  bool operator==(const Think&) const = default;

 private:
  static std::string_view checked(const char* level);
  bool on_ = true;
  std::string level_;
};

// The request's "keep_alive": how long the server keeps the model loaded after the chat. Either
// a duration text in the server's notation ("5m", "1h30m", "90s", "-1m", "0") or a length of
// time, sent as a number of seconds: zero unloads the model at once, a negative length keeps it
// loaded for good. The server's default is five minutes. A value type: immutable, thread-safe.
class KeepAlive {
 public:
  // A length of time, e.g. std::chrono::minutes(5), std::chrono::seconds(0) or
  // std::chrono::seconds(-1).
  template <class Rep, class Period>
  KeepAlive(std::chrono::duration<Rep, Period> length)  // NOLINT(google-explicit-constructor)
      : seconds_(std::chrono::duration<double>(length).count()) {}
  // A duration text: an optional sign, then one or more numbers (decimals allowed) each with a
  // unit of ns, us, µs, ms, s, m or h ("1h30m", "2.5s"); "0" alone needs no unit. Throws
  // ValueError quoting any other text.
  KeepAlive(std::string_view duration);  // NOLINT(google-explicit-constructor)
  KeepAlive(const char* duration) : KeepAlive(checked(duration)) {}  // NOLINT
  // Bare numbers are refused at compile time: say std::chrono::seconds(300) or "5m".
  template <details::Number T>
  KeepAlive(T) = delete;

  // The duration text, or "" when the value is a length of time.
  const std::string& text() const noexcept { return text_; }
  // The length in seconds when the value is a length of time (0 for a text).
  double seconds() const noexcept { return seconds_; }
  // As the request carries it: "5m" or a number of seconds (JSON text). Thread-safe.
  std::string json() const;

  bool operator==(const KeepAlive&) const = default;

 private:
  static std::string_view checked(const char* duration);
  std::string text_;
  double seconds_ = 0;
};

// One entry of ModelOptions::extra: a flag, a whole number, a real number or a text.
using OptionValue = std::variant<bool, std::int64_t, double, std::string>;

// The request's "options": how the model generates. The common ones have fields; any other
// option the server knows goes into `extra` under its own name and is passed on as it is. Unset
// fields and an empty `extra` are not sent; with nothing set, the request has no "options".
// Ollama::Options and ChatOptions check them (ValueError): numbers must be finite, names in
// `extra` must not be empty nor repeat a field's name. A value type: not thread-safe to change
// while another thread reads it.
struct ModelOptions {
  std::optional<double> temperature;
  std::optional<double> top_p;
  std::optional<std::int64_t> top_k;
  std::optional<std::int64_t> num_ctx;      // the context window, in tokens
  std::optional<std::int64_t> num_predict;  // the most tokens to generate (-1: no limit)
  std::optional<std::int64_t> seed;
  std::vector<std::string> stop;  // texts that end the answer; empty: not sent
  std::map<std::string, OptionValue> extra;

  // Whether nothing is set.
  bool empty() const noexcept;
  // These options with every entry set in `over` replacing its own (fields, `stop` when not
  // empty, and `extra` name by name).
  ModelOptions merged_with(const ModelOptions& over) const;
  // The "options" object as JSON text ("{}" when empty). Thread-safe.
  std::string json() const;
  // Throws ValueError naming the first entry that cannot be sent. Thread-safe.
  void check() const;

  bool operator==(const ModelOptions&) const = default;
};

}  // namespace kelmora::llm
