#pragma once
// Reading a streamed chat answer: newline-delimited JSON cut into lines, and one chat line parsed.

#include <cstddef>
#include <kelmora/core/errors.hpp>
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
  std::string content;  // kContent, kDone: message.content ("" when absent)
  std::string error;    // kError: the server's text; kMalformed: what is wrong
};

// Classifies one line (without its line end). `message.thinking` is ignored: it is not part of
// the answer. Never throws. Thread-safe.
ChatLine parse_chat_line(std::string_view line);

}  // namespace kelmora::llm
