#pragma once
// TreeDefinitions: the BehaviorTree definitions of one XML document (and of the documents it
// includes), parsed once, for registering with a factory. A SubTree of any tree built later
// resolves against registered definitions; a tree can also be created from one by its ID
// (BehaviorTreeFactory::create_tree_by_name).
//
// Thread-safe: immutable once loaded, so one TreeDefinitions may be registered with factories on
// several threads at once (the thread engine shares one with every tree's worker).

#include <kelmora/core/tree_source.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelmora::core {

namespace details {
struct TreeSet;
}

class TreeDefinitions {
 public:
  // Parses the document and everything it includes, as a document to build is parsed (includes,
  // their folder and their limits as TreeSource says). Node types are not looked at: a tree that
  // names an unknown node fails when it is built, not here. Throws TreeBuildError naming
  // "file:line" for malformed XML, a format version other than 4, an include that cannot be
  // read, a BehaviorTree without an ID or one defined twice in the document and its includes.
  static std::shared_ptr<const TreeDefinitions> load(const TreeSource& source);

  // Every *.xml file below `folder` (sub-folders included, symbolic links to folders not
  // followed), each loaded as a document of its own, sorted by their paths relative to the
  // folder, compared byte by byte: "a.xml", "b.xml", "b/a.xml", "c.xml". A file that another one
  // includes is loaded on its own too. Every file is loaded before anything is returned: the
  // first that fails throws (TreeFileError for a file or folder that cannot be read, a path that
  // is no folder; TreeBuildError as load()).
  static std::vector<std::shared_ptr<const TreeDefinitions>> load_folder(const std::string& folder);

  // The IDs of the BehaviorTrees defined, in document order (an include's trees where the include
  // is).
  const std::vector<std::string>& tree_ids() const noexcept;
  // Where the tree with this ID is defined, "path:line" ("<xml text>:line" for text); "" for an
  // ID not defined here.
  std::string where(const std::string& tree_id) const;
  // The document's name: its path as given, or "<xml text>".
  const std::string& name() const noexcept;

  // The document that defines the tree with this ID (for a tree that comes from an include, the
  // included file): its text as read and its path (none for text). std::nullopt for an ID not
  // defined here.
  struct Document {
    std::string text;
    std::optional<std::string> path;
  };
  std::optional<Document> document_of(const std::string& tree_id) const;

  // For the core: the parsed documents.
  const details::TreeSet& set() const noexcept { return *set_; }

  explicit TreeDefinitions(std::shared_ptr<const details::TreeSet> set) noexcept
      : set_(std::move(set)) {}

 private:
  std::shared_ptr<const details::TreeSet> set_;
};

}  // namespace kelmora::core
