// kelmora-tree: node models, node types used, and one chosen tree of a file.

#include "tree_files.hpp"

#include <algorithm>
#include <pugixml.hpp>
#include <regex>

namespace kelmora::tree_tool {
namespace {

// The 1-based line of byte `offset` of `text`.
std::size_t line_of(const std::string& text, std::ptrdiff_t offset) {
  std::size_t line = 1;
  for (std::ptrdiff_t i = 0; i < offset && i < static_cast<std::ptrdiff_t>(text.size()); ++i) {
    if (text[static_cast<std::size_t>(i)] == '\n') ++line;
  }
  return line;
}

const std::set<std::string>& structural() {
  static const std::set<std::string> kNames = {
      "root", "BehaviorTree", "TreeNodesModel", "include", "SubTree", "Action", "Condition"};
  return kNames;
}

std::string escape_attribute(const std::string& value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '<':
        out += "&lt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

FileFacts read_facts(const std::string& path, const std::string& text, Problems& problems) {
  FileFacts facts;
  pugi::xml_document doc;
  if (!doc.load_buffer(text.data(), text.size(),
                       pugi::parse_default | pugi::parse_ws_pcdata_single)) {
    return facts;
  }
  const pugi::xml_node root = doc.child("root");
  auto where = [&](const pugi::xml_node& node) {
    return path + ":" + std::to_string(line_of(text, node.offset_debug()));
  };
  for (const pugi::xml_node& child : root.children()) {
    const std::string tag = child.name();
    if (tag == "BehaviorTree") {
      facts.tree_ids.emplace_back(child.attribute("ID").value());
      // Every element below: the node types used and their attributes.
      for (const pugi::xpath_node& found : child.select_nodes(".//*")) {
        const pugi::xml_node element = found.node();
        std::string type = element.name();
        if (type == "Action" || type == "Condition") type = element.attribute("ID").value();
        if (type.empty() || structural().count(type) > 0) continue;
        std::set<std::string> attributes;
        for (const pugi::xml_attribute& a : element.attributes()) {
          const std::string name = a.name();
          if (name == "name" || name == "ID" || name.rfind('_', 0) == 0) continue;
          attributes.insert(name);
        }
        auto it = std::find_if(facts.used_types.begin(), facts.used_types.end(),
                               [&type](const auto& entry) { return entry.first == type; });
        if (it == facts.used_types.end()) {
          facts.used_types.emplace_back(type, std::move(attributes));
        } else {
          it->second.insert(attributes.begin(), attributes.end());
        }
      }
    } else if (tag == "TreeNodesModel") {
      for (const pugi::xml_node& model : child.children()) {
        if (model.type() != pugi::node_element) continue;
        NodeModel m;
        m.kind = model.name();
        m.id = model.attribute("ID").value();
        m.where = where(model);
        if (m.kind != "Action" && m.kind != "Condition" && m.kind != "Control" &&
            m.kind != "Decorator" && m.kind != "SubTree") {
          problems.push_back(m.where + ": unknown node model <" + m.kind + ">");
          continue;
        }
        if (m.id.empty()) {
          problems.push_back(m.where + ": <" + m.kind + "> model needs an ID attribute");
          continue;
        }
        if (m.kind == "SubTree") continue;  // describes a BehaviorTree's ports: nothing to add
        for (const pugi::xml_node& port : model.children()) {
          if (port.type() != pugi::node_element) continue;
          const std::string port_tag = port.name();
          std::string direction;
          if (port_tag == "input_port") direction = "input";
          if (port_tag == "output_port" || port_tag == "inout_port") direction = "output";
          if (direction.empty()) {
            problems.push_back(where(port) + ": unknown port element <" + port_tag +
                               "> in model '" + m.id + "'");
            continue;
          }
          m.ports.push_back(core::make_port(port.attribute("name").value(), "object", direction,
                                            port.attribute("description").value()));
        }
        facts.models.push_back(std::move(m));
      }
    }
  }
  return facts;
}

void register_models(core::BehaviorTreeFactory& factory, const std::vector<NodeModel>& models,
                     Problems& problems) {
  for (const NodeModel& m : models) {
    if (m.kind == "Control" || m.kind == "Decorator") {
      if (!factory.has_node_type(m.id)) {
        problems.push_back(m.where + ": " + m.kind + " model '" + m.id +
                           "' cannot be checked: only Action and Condition models stand in for "
                           "nodes");
      }
      continue;
    }
    if (auto problem = core::action_registration_problem(m.id, m.ports)) {
      problems.push_back(m.where + ": model '" + m.id + "': " + *problem);
      continue;
    }
    factory.register_action_behavior(
        m.id, [](core::TreeNode&) { return core::NodeStatus::SUCCESS; }, m.ports);
  }
}

std::optional<std::string> choose_tree(const std::string& text, const std::string& tree_id) {
  static const std::regex kRootTag(R"(<root(\s[^>]*)?>)");
  std::smatch match;
  if (!std::regex_search(text, match, kRootTag)) return std::nullopt;
  static const std::regex kMain(R"(\s*main_tree_to_execute\s*=\s*("[^"]*"|'[^']*'))");
  std::string tag = std::regex_replace(match.str(0), kMain, "");
  tag.insert(5, " main_tree_to_execute=\"" + escape_attribute(tree_id) + "\"");
  return text.substr(0, static_cast<std::size_t>(match.position(0))) + tag +
         text.substr(static_cast<std::size_t>(match.position(0) + match.length(0)));
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace kelmora::tree_tool
