#include "xml_loader.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <kelmora/core/errors.hpp>
#include <set>
#include <string_view>

#include "common/text.hpp"
#include "tree_source_text.hpp"

namespace kelmora::core::details {
namespace fs = std::filesystem;

namespace {

using common::trim;

constexpr std::size_t kMaxIncludeDepth = 16;
constexpr std::string_view kTextSourceName = "<xml text>";

bool has_text(pugi::xml_node node) {
  return (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) &&
         !trim(node.value()).empty();
}

// Reads an included file; TreeBuildError naming the include when it cannot be read.
std::string read_included_file(const fs::path& path, const std::string& where) {
  try {
    return read_tree_file(path.string());
  } catch (const TreeFileError& e) {
    throw TreeBuildError(fmt::format("{}: {}", where, e.what()));
  }
}

// The path with symbolic links resolved where they exist, normalised. A relative path is made
// absolute against the working directory; when there is none (it was removed), the path is only
// normalised. Never throws.
fs::path canonical_or_absolute(const fs::path& path) {
  std::error_code ec;
  auto canonical = fs::weakly_canonical(path, ec);
  if (!ec) return canonical;
  auto absolute = fs::absolute(path, ec);
  return (ec ? path : absolute).lexically_normal();
}

class Loader {
 public:
  // The loaded trees, with the tree to build chosen when `choose_main` (see load_tree).
  TreeSet take(bool choose_main, const std::function<bool(const std::string&)>& registered);

  // Parses one document and everything it includes. `base` is the folder its includes are
  // relative to (empty for text: the working directory, looked up only when a relative include
  // needs it); `key` its canonical path ("" for text).
  void load(std::string name, std::string text, const fs::path& base, const std::string& key,
            bool is_main);

 private:
  void read_root_children(const SourceDoc& doc, pugi::xml_node root, const fs::path& base,
                          bool is_main);
  void add_tree(const SourceDoc& doc, pugi::xml_node element, bool is_main);
  void read_model(pugi::xml_node model);
  void include(const SourceDoc& doc, pugi::xml_node element, const fs::path& base);

  TreeSet set_;
  std::vector<std::string> include_stack_;  // canonical paths of the files being read
  std::set<std::string> loaded_;
  std::vector<std::string> main_doc_trees_;  // IDs defined in the main document
};

void Loader::load(std::string name, std::string text, const fs::path& base, const std::string& key,
                  bool is_main) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (std::string_view(text).substr(0, kBom.size()) == kBom) text.erase(0, kBom.size());

  auto doc = std::make_unique<SourceDoc>();
  doc->name = std::move(name);
  doc->key = key;
  doc->text = std::move(text);
  const auto parsed = doc->document.load_buffer(doc->text.data(), doc->text.size(),
                                                pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    throw TreeBuildError(fmt::format("{}: XML parse error: {}", doc->where_offset(parsed.offset),
                                     parsed.description()));
  }
  const SourceDoc& source = *doc;
  set_.docs.push_back(std::move(doc));

  pugi::xml_node root = source.document.document_element();
  if (std::string_view(root.name()) != "root") {
    throw TreeBuildError(fmt::format("{}: the document element must be <root>, not <{}>",
                                     source.where(root), root.name()));
  }
  if (auto format = root.attribute("BTCPP_format"); format && trim(format.value()) != "4") {
    throw TreeBuildError(
        fmt::format("{}: unsupported BTCPP_format \"{}\" (only \"4\" is supported)",
                    source.where(root), format.value()));
  }
  if (is_main) {
    if (auto main = root.attribute("main_tree_to_execute")) set_.main_tree = trim(main.value());
  }
  if (!key.empty()) include_stack_.push_back(key);
  read_root_children(source, root, base, is_main);
  if (!key.empty()) include_stack_.pop_back();
}

void Loader::read_root_children(const SourceDoc& doc, pugi::xml_node root, const fs::path& base,
                                bool is_main) {
  for (pugi::xml_node child : root.children()) {
    if (has_text(child)) {
      throw TreeBuildError(
          fmt::format("{}: unexpected text '{}' in <root>", doc.where(child), trim(child.value())));
    }
    if (child.type() != pugi::node_element) continue;
    const std::string_view tag = child.name();
    if (tag == "BehaviorTree") {
      add_tree(doc, child, is_main);
    } else if (tag == "include") {
      include(doc, child, base);
    } else if (tag == "TreeNodesModel") {
      read_model(child);
    } else {
      throw TreeBuildError(
          fmt::format("{}: unexpected element <{}> in <root> (expected BehaviorTree, include or "
                      "TreeNodesModel)",
                      doc.where(child), tag));
    }
  }
}

void Loader::add_tree(const SourceDoc& doc, pugi::xml_node element, bool is_main) {
  const std::string id(trim(element.attribute("ID").value()));
  if (id.empty()) {
    throw TreeBuildError(
        fmt::format("{}: <BehaviorTree> needs an ID attribute", doc.where(element)));
  }
  auto [it, inserted] = set_.trees.try_emplace(id, TreeElement{element, &doc});
  if (!inserted) {
    throw TreeBuildError(fmt::format("{}: BehaviorTree '{}' is defined twice (first at {})",
                                     doc.where(element), id,
                                     it->second.doc->where(it->second.element)));
  }
  set_.tree_order.push_back(id);
  if (is_main) main_doc_trees_.push_back(id);
}

void Loader::read_model(pugi::xml_node model) {
  // Only SubTree port defaults matter to building; everything else a model says (and anything
  // malformed in it) is left to the tools that read models.
  for (pugi::xml_node entry : model.children("SubTree")) {
    const std::string id(trim(entry.attribute("ID").value()));
    if (id.empty()) continue;
    SubTreeDefaults defaults;
    for (pugi::xml_node port : entry.children()) {
      const std::string_view kind = port.name();
      if (kind != "input_port" && kind != "output_port" && kind != "inout_port") continue;
      const std::string name(trim(port.attribute("name").value()));
      pugi::xml_attribute value = port.attribute("default");
      if (name.empty() || !value) continue;
      defaults.emplace_back(name, value.value());
    }
    set_.subtree_defaults[id] = std::move(defaults);
  }
}

void Loader::include(const SourceDoc& doc, pugi::xml_node element, const fs::path& base) {
  for (pugi::xml_attribute attribute : element.attributes()) {
    if (std::string_view(attribute.name()) != "path") {
      throw TreeBuildError(fmt::format("{}: attribute '{}' of <include> is not supported",
                                       doc.where(element), attribute.name()));
    }
  }
  const std::string path_text(trim(element.attribute("path").value()));
  if (path_text.empty()) {
    throw TreeBuildError(fmt::format("{}: <include> needs a path attribute", doc.where(element)));
  }
  fs::path path(path_text);
  if (path.is_relative()) {
    if (base.empty()) {
      // Text has no folder of its own: only here is the working directory consulted.
      std::error_code ec;
      const fs::path cwd = fs::current_path(ec);
      if (ec) {
        throw TreeBuildError(fmt::format(
            "{}: cannot resolve include '{}': the working directory is not available ({})",
            doc.where(element), path_text, ec.message()));
      }
      path = cwd / path;
    } else {
      path = base / path;
    }
  }
  const fs::path canonical = canonical_or_absolute(path);
  const std::string key = canonical.string();
  if (std::find(include_stack_.begin(), include_stack_.end(), key) != include_stack_.end()) {
    std::string chain;
    for (const auto& file : include_stack_) chain += file + " -> ";
    throw TreeBuildError(fmt::format("{}: include cycle: {}{}", doc.where(element), chain, key));
  }
  if (include_stack_.size() >= kMaxIncludeDepth) {
    throw TreeBuildError(fmt::format("{}: includes nested deeper than {} files", doc.where(element),
                                     kMaxIncludeDepth));
  }
  if (!loaded_.insert(key).second) return;  // already read through another include
  std::string text = read_included_file(canonical, doc.where(element));
  load(path.string(), std::move(text), canonical.parent_path(), key, false);
}

TreeSet Loader::take(bool choose_main, const std::function<bool(const std::string&)>& registered) {
  if (!choose_main) {
    set_.main_tree.clear();
    return std::move(set_);
  }
  const SourceDoc& main_doc = *set_.docs.front();
  const std::string where = main_doc.where(main_doc.document.document_element());
  if (!set_.main_tree.empty()) {
    if (set_.trees.count(set_.main_tree) == 0 && !(registered && registered(set_.main_tree))) {
      throw TreeBuildError(fmt::format("{}: main_tree_to_execute names unknown BehaviorTree '{}'",
                                       where, set_.main_tree));
    }
  } else if (main_doc_trees_.size() == 1) {
    set_.main_tree = main_doc_trees_.front();
  } else if (main_doc_trees_.empty() && set_.trees.size() == 1) {
    set_.main_tree = set_.trees.begin()->first;
  } else if (set_.trees.empty()) {
    throw TreeBuildError(fmt::format("{}: the document has no BehaviorTree", where));
  } else {
    throw TreeBuildError(fmt::format(
        "{}: several BehaviorTree elements and no main_tree_to_execute to choose one", where));
  }
  return std::move(set_);
}

}  // namespace

std::string SourceDoc::where(pugi::xml_node node) const {
  return where_offset(node ? node.offset_debug() : -1);
}

std::string SourceDoc::where_offset(std::ptrdiff_t offset) const {
  if (offset < 0) return name;
  const auto end = text.begin() + std::min<std::ptrdiff_t>(offset, std::ssize(text));
  return fmt::format("{}:{}", name, std::count(text.begin(), end, '\n') + 1);
}

namespace {

void load_source(Loader& loader, const TreeSource& source) {
  if (!source.path()) {
    loader.load(std::string(kTextSourceName), source.text(), fs::path(), "", true);
  } else {
    const fs::path path(*source.path());
    const fs::path canonical = canonical_or_absolute(path);
    loader.load(path.string(), source.text(), canonical.parent_path(), canonical.string(), true);
  }
}

}  // namespace

TreeSet load_tree(const TreeSource& source,
                  const std::function<bool(const std::string&)>& registered) {
  Loader loader;
  load_source(loader, source);
  return loader.take(true, registered);
}

TreeSet load_definitions(const TreeSource& source) {
  Loader loader;
  load_source(loader, source);
  return loader.take(false, nullptr);
}

}  // namespace kelmora::core::details
