#pragma once
// TreeSource: the XML of a tree document and where it came from. Every tree is built from one:
// the factory, SequentialEngine and ThreadEngine (and the Python module through them) read files
// and resolve includes the same way.

#include <optional>
#include <string>

namespace kelmora::core {

class TreeSource {
 public:
  // XML text given directly. Build errors name it "<xml text>"; its relative includes resolve
  // against the working directory, which is looked up only when such an include is met.
  static TreeSource from_text(std::string xml_text);

  // Reads the UTF-8 file at `path` now: CRLF and lone CR become LF, a byte-order mark is kept
  // (the XML reader skips it). Only a regular file is read: a folder, device or pipe is refused
  // before anything is read, so nothing blocks. Build errors name the path as given; relative
  // includes resolve against the file's folder. Throws TreeFileError naming the path when the
  // file cannot be opened or read, or its bytes are not UTF-8 (system_code()
  // std::errc::illegal_byte_sequence, the message naming the byte and its offset).
  static TreeSource from_file(const std::string& path);

  const std::string& text() const noexcept { return text_; }
  // The path the text was read from; none for text given directly.
  const std::optional<std::string>& path() const noexcept { return path_; }

 private:
  TreeSource(std::string text, std::optional<std::string> path)
      : text_(std::move(text)), path_(std::move(path)) {}

  std::string text_;
  std::optional<std::string> path_;
};

}  // namespace kelmora::core
