// libFuzzer target: building (and ticking) a tree from XML text, includes included.

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "fuzz_checks.hpp"

namespace {

std::filesystem::path g_folder;

void remove_folder() {
  std::error_code ignored;
  std::filesystem::current_path(g_folder.parent_path(), ignored);
  std::filesystem::remove_all(g_folder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_folder = kelmora::fuzz::enter_include_folder();
  std::atexit(remove_folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kelmora::fuzz::check_xml(kelmora::fuzz::as_text(data, size));
  return 0;
}
