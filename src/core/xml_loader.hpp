#pragma once
// Reads tree XML documents (with their includes) into the set of BehaviorTree elements a tree is
// built from. Internal to the core.

#include <cstddef>
#include <filesystem>
#include <kelmora/core/tree_source.hpp>
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

struct TreeElement {
  pugi::xml_node element;  // the BehaviorTree element
  const SourceDoc* doc = nullptr;
};

struct TreeSet {
  std::vector<std::unique_ptr<SourceDoc>> docs;
  std::map<std::string, TreeElement> trees;
  std::string main_tree;  // the ID of the tree to build
};

// Parses the document and everything it includes and chooses the tree to build. Throws
// TreeBuildError naming the problem (and file and line where known); text is named "<xml text>",
// a file by its path as given.
TreeSet load_tree(const TreeSource& source);

}  // namespace kelmora::core::details
