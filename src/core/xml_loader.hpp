#pragma once
// Reads tree XML documents (with their includes) into the set of BehaviorTree elements a tree is
// built from. Internal to the core.

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace kelmora::core::details {

// One parsed document, kept alive while its elements are built.
struct SourceDoc {
  std::string name;  // the file path, or "<xml text>"
  std::string text;  // the parsed text, for turning byte offsets into line numbers
  pugi::xml_document document;

  // "name:line" of a node of this document.
  std::string where(pugi::xml_node node) const;
  std::string where_offset(std::ptrdiff_t offset) const;
};

struct TreeSource {
  pugi::xml_node element;  // the BehaviorTree element
  const SourceDoc* doc = nullptr;
};

struct TreeSet {
  std::vector<std::unique_ptr<SourceDoc>> docs;
  std::map<std::string, TreeSource> trees;
  std::string main_tree;  // the ID of the tree to build
};

// Throw TreeBuildError naming the problem (and file and line where known). Text is named
// "<xml text>" and its relative includes resolve against the working directory; a file (or the
// text read from the file at `path`) is named by the path as given and its relative includes
// resolve against the file's folder.
TreeSet load_tree_text(const std::string& xml_text);
TreeSet load_tree_file_text(std::string xml_text, const std::filesystem::path& path);
TreeSet load_tree_file(const std::filesystem::path& path);

}  // namespace kelmora::core::details
