#pragma once
// Reading tree files as UTF-8 text. Internal to the core. Thread-safe: no shared state.

#include <string>
#include <string_view>

namespace kelmora::core::details {

// The file's text: its bytes, which must be valid UTF-8, with CRLF and lone CR turned into LF.
// A byte-order mark is kept. Throws TreeFileError naming the path when the file cannot be opened
// or read (a folder, device or pipe is refused unread), or when its bytes are not UTF-8.
std::string read_tree_file(const std::string& path);

// The byte offset of the first byte that does not belong to a valid UTF-8 sequence (overlong
// forms, surrogates and code points above U+10FFFF are invalid); npos when the text is valid.
std::size_t find_invalid_utf8(std::string_view bytes) noexcept;

// The text with every CRLF and every lone CR replaced by LF.
std::string normalize_line_ends(std::string_view text);

}  // namespace kelmora::core::details
