// libFuzzer target: a model server's streamed answer, in chunks of any size, cut into lines and
// classified.

#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kelmora::fuzz::check_ndjson(kelmora::fuzz::as_text(data, size));
  return 0;
}
