#pragma once
// The checks behind the fuzz targets, shared by the libFuzzer programs (fuzz/fuzz_*.cpp) and by
// the regression test that replays the inputs fuzzing found (tests/test_fuzz_regressions.cpp).
//
// Each check feeds one input to a piece of kelmora and verifies what must hold for every input:
// only the documented error types come out, and the results keep their invariants. A violation
// throws FuzzFinding; in a fuzz target it escapes, terminates the program and so becomes a crash
// that libFuzzer records with its input.
//
// Not thread-safe: the checks share a little state (the XML check's tick counter) per process.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace kelmora::fuzz {

// An input broke an invariant. The message says which one.
class FuzzFinding : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Makes a scratch folder with the tree files the XML inputs may include (inc_leaf.xml,
// inc_main.xml, inc_self.xml, inc_broken.xml) and makes it the working directory, against which
// includes in XML text resolve. Call once before check_xml. Returns the folder.
std::filesystem::path enter_include_folder();

// Builds a tree from the text with a factory that knows the standard nodes and four test
// actions; when it builds, ticks it a few times (if the text cannot make a tick unbounded),
// halts it and reads its blackboard. Build errors must be TreeBuildError, tick errors
// NodeTickError; after a failed tick and after a halt every node is IDLE.
void check_xml(std::string_view text);

// Treats the input as a model server's streamed answer: the first byte picks the line-length
// limit, the second how the rest is cut into chunks. The lines (or the LineTooLongError) must be
// the same whatever the chunking and equal to splitting the whole text at once; every line is
// classified by parse_chat_line, which must not throw.
void check_ndjson(std::string_view input);

// Parses the input as an OLLAMA_HOST value. Failures must be ValueError quoting the text; an
// address must have a known scheme, a port and a clean host, and its url() must parse back to
// the same address.
void check_ollama_host(std::string_view text);

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace kelmora::fuzz
