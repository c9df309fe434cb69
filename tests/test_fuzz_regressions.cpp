// Replays, through the same checks as the fuzz targets, every input fuzzing ever found
// (tests/data/fuzz_regressions/<target>/) and the seed corpora (fuzz/corpus/<target>/), so what
// was fixed stays fixed in every build, sanitizers included.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "../fuzz/fuzz_checks.hpp"

namespace kelmora::fuzz {
namespace {

namespace fs = std::filesystem;

// The files of one target's regression folder and seed corpus, in name order.
std::vector<fs::path> inputs_of(const std::string& target) {
  const char* data = std::getenv("KELMORA_TEST_DATA");
  std::vector<fs::path> folders = {fs::path(KELMORA_FUZZ_CORPUS) / target};
  if (data != nullptr) folders.push_back(fs::path(data) / "fuzz_regressions" / target);
  std::vector<fs::path> files;
  for (const auto& folder : folders) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void replay(const std::string& target, const std::function<void(std::string_view)>& check) {
  const auto files = inputs_of(target);
  ASSERT_FALSE(files.empty()) << "no inputs for " << target;
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const std::string input = read(file);
    EXPECT_NO_THROW(check(input));
  }
}

// The XML check resolves includes against the working directory: a scratch folder holding the
// files the inputs include, removed afterwards.
class IncludeFolder {
 public:
  IncludeFolder() : previous_(fs::current_path()), folder_(enter_include_folder()) {}
  ~IncludeFolder() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(folder_, ignored);
  }

 private:
  fs::path previous_;
  fs::path folder_;
};

TEST(FuzzRegressionTest, XmlInputsBuildOrFailWithTreeBuildErrors) {
  IncludeFolder folder;
  replay("fuzz_xml", check_xml);
}

TEST(FuzzRegressionTest, UnboundedRepeatCountsAreNotTickedButStillBuilt) {
  IncludeFolder folder;
  // Nested Repeats whose counts multiply past the check's bound: the check builds and halts the
  // tree without ticking it, so it returns at once.
  EXPECT_NO_THROW(check_xml(
      R"(<root BTCPP_format="4"><BehaviorTree ID="M"><Repeat num_cycles="999999999">)"
      R"(<Repeat num_cycles="999999999"><AlwaysSuccess/></Repeat></Repeat></BehaviorTree></root>)"));
}

TEST(FuzzRegressionTest, IncludesOfDevicesAndFoldersAreRefusedUnread) {
  // /dev/zero would never end and a pipe could block forever; a folder would read as nothing.
  const std::string folder = fs::temp_directory_path().string();
  const core::BehaviorTreeFactory factory;
  for (const auto& [path, why] : {std::pair<std::string, std::string>{"/dev/zero", " (not a regular file)"},
                                  {folder, ""}}) {
    SCOPED_TRACE(path);
    try {
      factory.create_tree_from_text(
          R"(<root BTCPP_format="4"><include path=")" + path +
          R"("/><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>)");
      ADD_FAILURE() << "built";
    } catch (const core::TreeBuildError& e) {
      EXPECT_EQ(std::string(e.what()), "<xml text>:1: cannot read tree file '" +
                                           fs::weakly_canonical(path).string() + "'" + why);
    }
  }
}

#ifdef KELMORA_FUZZ_WITH_LLM
TEST(FuzzRegressionTest, StreamInputsSplitTheSameWhateverTheChunks) {
  replay("fuzz_ndjson", check_ndjson);
}

TEST(FuzzRegressionTest, OllamaHostInputsParseBackOrFailQuotingTheValue) {
  replay("fuzz_ollama_host", check_ollama_host);
}
#endif

}  // namespace
}  // namespace kelmora::fuzz
