// libFuzzer target: parsing a script and evaluating it against entries of every type.

#include "check_script.hpp"
#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kelmora::fuzz::check_script(kelmora::fuzz::as_text(data, size));
  return 0;
}
