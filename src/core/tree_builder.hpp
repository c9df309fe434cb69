#pragma once
// Builds a Tree from loaded BehaviorTree elements and the registered node types. Internal.

#include <kelmora/core/tree.hpp>

#include "node_registry.hpp"
#include "xml_loader.hpp"

namespace kelmora::core::details {

// Throws TreeBuildError naming file, line, node and problem; nothing is left half-built.
Tree build_tree(const NodeRegistry& registry, const TreeSet& trees);

}  // namespace kelmora::core::details
