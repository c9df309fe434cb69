#pragma once
// Builds a Tree from loaded BehaviorTree elements and the registered node types. Internal.

#include <kelmora/core/scripting.hpp>
#include <kelmora/core/tree_definitions.hpp>
#include <kelmora/core/tree.hpp>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "node_registry.hpp"
#include "xml_loader.hpp"

namespace kelmora::core::details {

// The BehaviorTree definitions registered with a factory, by ID: the latest registration of an
// ID is the one kept. Each keeps its document alive.
struct TreeLibrary {
  struct Definition {
    std::shared_ptr<const TreeDefinitions> definitions;
    TreeElement tree;
  };
  struct Defaults {
    std::shared_ptr<const TreeSet> set;
    const SubTreeDefaults* defaults = nullptr;
  };
  std::map<std::string, Definition, std::less<>> trees;
  std::map<std::string, Defaults, std::less<>> subtree_defaults;
  // The names of the registered documents (paths as given, "<xml text>"), first registration
  // first, each once: for the error about a SubTree found nowhere.
  std::vector<std::string> files;
};

// What a build needs besides the document: the node types, the registered definitions (a
// SubTree resolves against the document's own trees first) and the enum names scripts know.
struct BuildContext {
  const NodeRegistry& registry;
  const TreeLibrary& library;
  std::shared_ptr<const scripting::EnumRegistry> enums;
};

// Builds `trees.main_tree`. Throws TreeBuildError naming file, line, node and problem; nothing is
// left half-built.
Tree build_tree(const BuildContext& context, const TreeSet& trees);

}  // namespace kelmora::core::details
