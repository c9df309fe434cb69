#pragma once
// BehaviorTreeFactory: the registry of node types, and the builder of trees from XML.
//
// Not thread-safe: one thread registers and builds. Each tree's engine owns its own factory.

#include <kelmora/core/node_class.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/core/tree_source.hpp>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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

  // Registers a condition whose tick is `tick_functor` (a leaf of kind Condition that must never
  // return RUNNING), with the same rules and errors as register_action_behavior.
  void register_condition_behavior(const std::string& condition_id, TickFunctor tick_functor,
                                   PortsList ports_list);

  // Registers a node class under `node_id` or, when absent, the class's own name: every element
  // naming it gets a node of its own, made by the class when the tree is built and owned by the
  // tree. Its kind sets what the builder checks (a control needs at least one child, a decorator
  // exactly one, a leaf none) and the core keeps the kind's contracts around its nodes (children
  // halted whenever a control or decorator completes; a condition must not return RUNNING).
  // A class of no known kind: logs at error level and throws TypeError
  // (core::unknown_node_class_message), nothing registered. The id and the class's ports follow
  // register_action_behavior's rules (TreeBuildError). A later registration of an id replaces
  // the earlier one, whatever its kind.
  void register_node_class(const NodeClass& node_class,
                           std::optional<std::string> node_id = std::nullopt);
  // The same for the C++ class T (see core::node_class<T>()).
  template <class T>
  void register_node_class(std::optional<std::string> node_id = std::nullopt) {
    register_node_class(core::node_class<T>(), std::move(node_id));
  }

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
