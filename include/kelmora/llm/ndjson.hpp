#pragma once
// Reading a streamed chat answer: newline-delimited JSON cut into lines, and one chat line parsed.

#include <cstddef>
#include <kelmora/core/errors.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora::llm {

// The longest line accepted by default: 1 MiB. A chat line carries a few words; a line this long
// means the server is not sending chat lines.
inline constexpr std::size_t kDefaultMaxLineBytes = std::size_t{1} << 20;

// A line grew past the splitter's limit before its '\n' arrived.
class LineTooLongError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Cuts a byte stream that arrives in chunks of any size into lines. Lines are cut at '\n' only,
// so a multi-byte UTF-8 character split between two chunks is put back together; a '\r' before
// the '\n' is dropped. Not thread-safe: one reader feeds it.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t max_line_bytes = kDefaultMaxLineBytes);

  // Adds a chunk and returns the lines it completed, without their line ends. Throws
  // LineTooLongError ("a line longer than N bytes") as soon as the unfinished line exceeds the
  // limit; the splitter is unusable afterwards.
  std::vector<std::string> feed(std::string_view chunk);

  // At the end of the stream: the last line if it had no '\n' (and is not empty), else nullopt.
  std::optional<std::string> finish();

  std::size_t max_line_bytes() const noexcept { return max_line_bytes_; }

 private:
  std::size_t max_line_bytes_;
  std::string pending_;
};

// One line of a chat answer, classified.
struct ChatLine {
  enum class Kind {
    kBlank,      // only blanks: carries nothing
    kContent,    // a piece of the answer ("done" absent or false)
    kDone,       // the final line ("done": true); may carry a last piece
    kError,      // {"error": "..."}: the server gave up
    kMalformed,  // not JSON, not an object, or fields of the wrong kind
  };
  Kind kind = Kind::kBlank;
  std::string content;   // kContent, kDone: message.content ("" when absent)
  std::string thinking;  // kContent, kDone: message.thinking ("" when absent)
  std::string error;     // kError: the server's text; kMalformed: what is wrong
  // kDone: done_reason and the counters (its `server` is left empty). Counters that are absent or
  // not non-negative numbers read as 0, a done_reason that is not text as "": they inform, so
  // they never fail an answer.
  ChatSummary summary;
};

// Classifies one line (without its line end). `message.content` and `message.thinking` must be
// text when present. Never throws. Thread-safe.
ChatLine parse_chat_line(std::string_view line);

// Separates thinking that a model writes into the answer text itself, as "<think>...</think>" at
// its very start (blanks before it allowed), from the answer. Feed it the answer's pieces in
// order; it holds back the few bytes that might begin a tag until the next piece shows whether
// they do. Text after the thinking starts after the blanks that follow "</think>". An answer that
// does not begin with "<think>" passes through whole. Not thread-safe: one reader feeds it.
class ThinkTagSplitter {
 public:
  // The next piece of text: its thinking and answer parts (either may be empty).
  ResponseItem feed(std::string_view text);
  // At the end of the answer: what was held back (an unclosed "<think>" counts as thinking).
  ResponseItem finish();

 private:
  enum class State { kStart, kThinking, kAfterThinking, kAnswer };
  State state_ = State::kStart;
  std::string held_;
};

}  // namespace kelmora::llm
