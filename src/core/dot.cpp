// Graphviz pictures of built trees.

#include <fmt/format.h>

#include <kelmora/core/dot.hpp>

namespace kelmora::core {
namespace {

std::string_view shape_of(NodeKind kind) {
  switch (kind) {
    case NodeKind::ACTION:
      return "box";
    case NodeKind::CONDITION:
      return "ellipse";
    case NodeKind::CONTROL:
      return "box";
    case NodeKind::DECORATOR:
      return "hexagon";
    case NodeKind::SUBTREE:
      return "folder";
  }
  return "box";
}

std::string_view fill_of(NodeStatus status) {
  switch (status) {
    case NodeStatus::IDLE:
      return "#ffffff";
    case NodeStatus::RUNNING:
      return "#ffd54f";
    case NodeStatus::SUCCESS:
      return "#81c784";
    case NodeStatus::FAILURE:
      return "#e57373";
    case NodeStatus::SKIPPED:
      return "#bdbdbd";
  }
  return "#ffffff";
}

}  // namespace

std::string dot_quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        break;
      default:
        out += c;
    }
  }
  out += '"';
  return out;
}

std::string to_dot(const Tree& tree, std::string_view graph_name) {
  std::string out = "digraph " + dot_quoted(graph_name.empty() ? tree.mainTreeId() : graph_name) +
                    " {\n  rankdir=TB;\n  node [fontname=\"Helvetica\", fontsize=10];\n";
  const TreeNode* root = tree.rootNode();
  if (root == nullptr) return out + "}\n";
  visit_depth_first(*root, [&out](const TreeNode& node, std::size_t) {
    std::string label = "[" + std::string(to_string(node.kind())) + "] " + node.registration_id();
    if (node.name() != node.registration_id()) label += "\n\"" + node.name() + "\"";
    const auto& ports = node.ports();
    const auto& bindings = node.portBindings();
    for (std::size_t i = 0; i < ports.size() && i < bindings.size(); ++i) {
      if (bindings[i].kind == PortBinding::Kind::LITERAL) {
        label += "\n" + ports[i].name + " = " + bindings[i].text;
      } else if (bindings[i].kind == PortBinding::Kind::ENTRY) {
        label += "\n" + ports[i].name + " = {" + bindings[i].text + "}";
      }
    }
    label += "\n" + std::string(to_string(node.status()));
    const bool rounded = node.kind() == NodeKind::CONTROL;
    out += fmt::format("  n{} [label={}, shape={}, style=\"{}\", fillcolor=\"{}\"];\n", node.uid(),
                       dot_quoted(label), shape_of(node.kind()),
                       rounded ? "rounded,filled" : "filled", fill_of(node.status()));
    for (std::size_t i = 0; i < node.childrenCount(); ++i) {
      out += fmt::format("  n{} -> n{};\n", node.uid(), node.child(i).uid());
    }
  });
  return out + "}\n";
}

}  // namespace kelmora::core
