#pragma once
// What kelmora-tree reads from tree files: the node models they declare, the node types their
// trees use, and the text of a file made to build one chosen tree.

#include <cstddef>
#include <kelmora/core/factory.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelmora::tree_tool {

// One node model (an Action or Condition of a TreeNodesModel): its ports as the factory takes
// them, and where it was declared.
struct NodeModel {
  std::string id;
  std::string kind;  // "Action", "Condition", "Control" or "Decorator"
  core::PortsList ports;
  std::string where;  // "file:line"
};

// A problem met while reading a file, as "file:line: message".
using Problems = std::vector<std::string>;

// The parsed file's BehaviorTree IDs in document order, its node models, and the node types its
// elements use (element names, and the ID of <Action>/<Condition> elements), each with the
// attribute names used on it.
struct FileFacts {
  std::vector<std::string> tree_ids;
  std::vector<NodeModel> models;
  std::vector<std::pair<std::string, std::set<std::string>>> used_types;
};

// Reads `text` (from `path`, for messages). A document that does not parse gives no facts and no
// problem: building it reports the parse error. Malformed models are added to `problems`.
FileFacts read_facts(const std::string& path, const std::string& text, Problems& problems);

// Registers the models with `factory` (Actions and Conditions as actions whose ticks succeed;
// Controls and Decorators cannot be declared this way and are reported in `problems`).
void register_models(core::BehaviorTreeFactory& factory, const std::vector<NodeModel>& models,
                     Problems& problems);

// `text` with its <root> element's main_tree_to_execute set to `tree_id` (replacing one already
// there), on the same line, so that build errors keep their line numbers; std::nullopt when no
// <root> start tag is found.
std::optional<std::string> choose_tree(const std::string& text, const std::string& tree_id);

// Every occurrence of `from` in `text` replaced by `to`.
std::string replace_all(std::string text, const std::string& from, const std::string& to);

}  // namespace kelmora::tree_tool
