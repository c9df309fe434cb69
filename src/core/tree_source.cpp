#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_source.hpp>
#include <string_view>

#include "tree_source_text.hpp"

namespace kelmora::core {
namespace details {
namespace {

// Closes the descriptor on every way out, reading failures included.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void throw_read_error(const std::string& path, int error) {
  throw TreeFileError(std::error_code(error, std::generic_category()), path,
                      "cannot read tree file '" + path + "'");
}

// Reads a regular file whole. A folder, device or pipe is refused before anything is read: a
// device such as /dev/zero never ends and a pipe may block forever. O_NONBLOCK keeps the open of
// a pipe without writer from blocking; it changes nothing for regular files.
std::string read_bytes(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) throw_read_error(path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw_read_error(path, errno);
  if (S_ISDIR(info.st_mode)) throw_read_error(path, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    throw TreeFileError(std::make_error_code(std::errc::invalid_argument), path,
                        "cannot read tree file '" + path + "' (not a regular file)");
  }
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_read_error(path, errno);
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// Length of the sequence a lead byte starts, and the smallest code point it may encode.
struct Lead {
  int length;
  std::uint32_t min;
};

Lead classify_lead(unsigned char c) noexcept {
  if (c < 0x80) return {1, 0};
  if (c >= 0xC2 && c <= 0xDF) return {2, 0x80};
  if (c >= 0xE0 && c <= 0xEF) return {3, 0x800};
  if (c >= 0xF0 && c <= 0xF4) return {4, 0x10000};
  return {0, 0};
}

}  // namespace

std::size_t find_invalid_utf8(std::string_view bytes) noexcept {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const Lead kind = classify_lead(lead);
    if (kind.length == 0) return i;
    if (kind.length == 1) {
      ++i;
      continue;
    }
    std::uint32_t code = lead & (0x7Fu >> kind.length);
    for (int k = 1; k < kind.length; ++k) {
      if (i + static_cast<std::size_t>(k) >= bytes.size()) return i;
      const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return i;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < kind.min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += static_cast<std::size_t>(kind.length);
  }
  return std::string_view::npos;
}

std::string normalize_line_ends(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string read_tree_file(const std::string& path) {
  std::string bytes = read_bytes(path);
  const std::size_t bad = find_invalid_utf8(bytes);
  if (bad != std::string_view::npos) {
    throw TreeFileError(
        std::make_error_code(std::errc::illegal_byte_sequence), path,
        fmt::format("tree file '{}' is not valid UTF-8 (byte 0x{:02x} at offset {})", path,
                    static_cast<unsigned char>(bytes[bad]), bad),
        bad, static_cast<unsigned char>(bytes[bad]));
  }
  return normalize_line_ends(bytes);
}

}  // namespace details

TreeSource TreeSource::from_text(std::string xml_text) {
  return TreeSource(std::move(xml_text), std::nullopt);
}

TreeSource TreeSource::from_file(const std::string& path) {
  return TreeSource(details::read_tree_file(path), path);
}

}  // namespace kelmora::core
