// libFuzzer target: the OLLAMA_HOST parser.

#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kelmora::fuzz::check_ollama_host(kelmora::fuzz::as_text(data, size));
  return 0;
}
