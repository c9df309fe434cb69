#pragma once
// Reads tree XML documents (with their includes) into the set of BehaviorTree elements a tree is
// built from. Internal to the core.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <kelmora/core/tree_source.hpp>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kelmora::core::details {

// One parsed document, kept alive while its elements are built.
struct SourceDoc {
  std::string name;  // the file path, or "<xml text>"
  std::string key;   // the file's canonical path; empty for text
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

// A SubTree's port defaults from a <TreeNodesModel>: (port name, default text) in model order.
using SubTreeDefaults = std::vector<std::pair<std::string, std::string>>;

struct TreeSet {
  std::vector<std::unique_ptr<SourceDoc>> docs;  // the top document first
  std::map<std::string, TreeElement> trees;
  std::vector<std::string> tree_order;  // the IDs of `trees` in document order
  // <TreeNodesModel><SubTree ID="X"> port defaults, by X (a later model of X replaces one before).
  std::map<std::string, SubTreeDefaults> subtree_defaults;
  std::string main_tree;  // the ID of the tree to build; empty for definitions only
};

// Parses the document and everything it includes and chooses the tree to build:
// main_tree_to_execute (naming a tree of the document or one `registered` knows), else the only
// tree. Throws TreeBuildError naming the problem (and file and line where known); text is named
// "<xml text>", a file by its path as given.
TreeSet load_tree(const TreeSource& source,
                  const std::function<bool(const std::string&)>& registered);
// Parses the document and everything it includes, choosing nothing (main_tree_to_execute is
// ignored). Throws as load_tree.
TreeSet load_definitions(const TreeSource& source);

}  // namespace kelmora::core::details
