#pragma once
// Graphviz pictures of built trees.

#include <kelmora/core/tree.hpp>
#include <string>
#include <string_view>

namespace kelmora::core {

// The tree as a Graphviz digraph (render it with `dot -Tsvg`): one graph node per tree node,
// named n<uid>, labelled with its registration id, its name when it differs, its ports as the
// XML binds them ("port = literal", "port = {key}") and its current status; shaped by kind
// (Action: box, Condition: ellipse, Control: rounded box, Decorator: hexagon, SubTree: folder)
// and filled by status (IDLE white, RUNNING gold, SUCCESS green, FAILURE red, SKIPPED grey).
// `graph_name` names the graph (default: the tree's main tree id). An empty tree gives an empty
// graph. Not thread-safe: call it on the thread that ticks the tree.
std::string to_dot(const Tree& tree, std::string_view graph_name = {});

// `text` quoted for Graphviz: in double quotes, with quotes and backslashes escaped and line
// breaks as \n. Thread-safe.
std::string dot_quoted(std::string_view text);

}  // namespace kelmora::core
