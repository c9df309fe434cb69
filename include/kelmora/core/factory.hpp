#pragma once
// BehaviorTreeFactory: the registry of node types, and the builder of trees from XML.
//
// Not thread-safe: one thread registers and builds. Each tree's engine owns its own factory.

#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/core/tree_source.hpp>
#include <memory>
#include <optional>
#include <string>

namespace kelmora::core {

// Why an action may not be registered under `action_id` with these ports: an empty id, an id the
// XML format reserves (root, BehaviorTree, SubTree, ...), or a malformed port description (an
// unknown key, no name, a reserved name such as "name" or "_x", a name declared twice, a type
// other than "string" / "object", a direction other than "input" / "output"). std::nullopt when
// the registration is accepted. The one statement of these rules: the factory refuses exactly
// these, and so does the thread engine before it stores a registration. Thread-safe.
std::optional<std::string> action_registration_problem(const std::string& action_id,
                                                       const PortsList& ports_list);

class BehaviorTreeFactory {
 public:
  // A factory that knows the standard nodes (controls, decorators, leaves, SubTree).
  BehaviorTreeFactory();
  ~BehaviorTreeFactory();
  BehaviorTreeFactory(BehaviorTreeFactory&&) noexcept;
  BehaviorTreeFactory& operator=(BehaviorTreeFactory&&) noexcept;

  // Registers an action: the XML may then use `action_id` as an element. Registering an id that
  // is already registered replaces the earlier registration (standard nodes included); trees
  // built before keep what they were built with. Throws TreeBuildError for an empty id, an id
  // the XML format reserves (SubTree, Action, ...) or a malformed port description.
  void register_action_behavior(const std::string& action_id, TickFunctor tick_functor,
                                PortsList ports_list);

  // Whether `id` names a registered node type.
  bool has_node_type(const std::string& id) const;

  // Builds the main tree of an XML document (format version 4; docs/core.md lists what is
  // accepted). Relative `include` paths resolve as TreeSource says: against the file's folder,
  // or for text against the working directory, which is consulted for nothing else (a removed
  // one fails only such an include). Throws TreeBuildError naming the problem, prefixed with
  // "path:line: " (or "<xml text>:line: ").
  Tree create_tree(const TreeSource& source) const;
  // create_tree(TreeSource::from_text(xml_text)).
  Tree create_tree_from_text(const std::string& xml_text) const;
  // create_tree(TreeSource::from_file(path)): an unreadable file throws TreeFileError.
  Tree create_tree_from_file(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelmora::core

namespace kelmora {
using core::BehaviorTreeFactory;
}
