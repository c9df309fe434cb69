#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree_definitions.hpp>
#include <system_error>
#include <utility>

#include "xml_loader.hpp"

namespace kelmora::core {
namespace fs = std::filesystem;

std::shared_ptr<const TreeDefinitions> TreeDefinitions::load(const TreeSource& source) {
  auto set = std::make_shared<const details::TreeSet>(details::load_definitions(source));
  return std::make_shared<const TreeDefinitions>(std::move(set));
}

namespace {

[[noreturn]] void throw_folder_error(const std::string& folder, std::error_code error,
                                     const std::string& detail = "") {
  throw TreeFileError(
      error, folder,
      fmt::format("cannot read tree folder '{}'{}: {}", folder, detail, error.message()));
}

// The *.xml regular files below `folder`, with their paths relative to it, in byte order.
std::vector<std::pair<std::string, fs::path>> xml_files(const std::string& folder) {
  std::error_code ec;
  const fs::file_status status = fs::status(folder, ec);
  if (ec) throw_folder_error(folder, ec);
  if (!fs::is_directory(status)) {
    throw_folder_error(folder, std::make_error_code(std::errc::not_a_directory));
  }
  std::vector<std::pair<std::string, fs::path>> files;
  fs::recursive_directory_iterator it(folder, ec);
  if (ec) throw_folder_error(folder, ec);
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& entry = *it;
    if (entry.path().extension() != ".xml") continue;
    std::error_code type_error;
    if (!entry.is_regular_file(type_error)) continue;
    files.emplace_back(entry.path().lexically_relative(folder).generic_string(), entry.path());
  }
  if (ec) throw_folder_error(folder, ec, " (while listing it)");
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return files;
}

}  // namespace

std::vector<std::shared_ptr<const TreeDefinitions>> TreeDefinitions::load_folder(
    const std::string& folder) {
  std::vector<std::shared_ptr<const TreeDefinitions>> loaded;
  for (const auto& [relative, path] : xml_files(folder)) {
    loaded.push_back(load(TreeSource::from_file(path.string())));
  }
  return loaded;
}

const std::vector<std::string>& TreeDefinitions::tree_ids() const noexcept {
  return set_->tree_order;
}

std::string TreeDefinitions::where(const std::string& tree_id) const {
  auto it = set_->trees.find(tree_id);
  if (it == set_->trees.end()) return "";
  return it->second.doc->where(it->second.element);
}

const std::string& TreeDefinitions::name() const noexcept { return set_->docs.front()->name; }

std::optional<TreeDefinitions::Document> TreeDefinitions::document_of(
    const std::string& tree_id) const {
  auto it = set_->trees.find(tree_id);
  if (it == set_->trees.end()) return std::nullopt;
  const details::SourceDoc& doc = *it->second.doc;
  return Document{doc.text, doc.key.empty() ? std::nullopt : std::optional(doc.name)};
}

}  // namespace kelmora::core
