#pragma once
// BehaviorTreeFactory: the registry of node types, and the builder of trees from XML.
//
// Not thread-safe: one thread registers and builds. Each tree's engine owns its own factory.

#include <cstdint>
#include <initializer_list>
#include <kelmora/core/node_class.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/scripting.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/core/tree_definitions.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/core/tree_source.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

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

  // Registers an enum name scripts may use as a number (`state == BUSY`). Registering a name
  // again with the same value does nothing; with another value, or a name that is not an
  // identifier, throws kelmora::ValueError naming both (scripting::EnumRegistry's rules). Only
  // trees built afterwards know it.
  void register_scripting_enum(std::string_view name, std::int64_t value);
  // Registers every name of a C++ enum: register_scripting_enum<Mode>({{"IDLE", Mode::idle},
  // ...}). All or nothing: when one name is refused, none is registered.
  template <class E>
  requires std::is_enum_v<E>
  void register_scripting_enum(std::initializer_list<std::pair<std::string_view, E>> values) {
    std::vector<std::pair<std::string, std::int64_t>> all;
    for (const auto& entry : values) {
      all.emplace_back(std::string(entry.first), static_cast<std::int64_t>(entry.second));
    }
    register_scripting_enums(all);
  }
  // Several names at once, all or nothing.
  void register_scripting_enums(const std::vector<std::pair<std::string, std::int64_t>>& values);
  // The enum names registered so far.
  const scripting::EnumRegistry& scripting_enums() const noexcept;

  // Registers every BehaviorTree of the definitions by its ID, for SubTrees of trees built later
  // and for create_tree_by_name; trees built before keep what they were built with. IDs are
  // unique among registered definitions: an ID already registered (or given twice in `batch`)
  // throws TreeBuildError naming both places ("a.xml:3", "b.xml:7"), and nothing of the batch is
  // registered. The one exception is the same file registered again (or once on its own and once
  // through an include): its later definition replaces the earlier one. Returns the IDs
  // registered, in document order, file after file.
  std::vector<std::string> register_trees(
      const std::vector<std::shared_ptr<const TreeDefinitions>>& batch);
  std::vector<std::string> register_trees(std::shared_ptr<const TreeDefinitions> definitions);
  // register_trees(TreeDefinitions::load(TreeSource::from_text(xml_text))).
  std::vector<std::string> register_tree_text(const std::string& xml_text);
  // register_trees(TreeDefinitions::load(TreeSource::from_file(path))): TreeFileError for a file
  // that cannot be read.
  std::vector<std::string> register_tree_file(const std::string& path);
  // Every *.xml file below the folder, in the order TreeDefinitions::load_folder gives, as one
  // batch: all are loaded and checked first, so a failing file registers nothing.
  std::vector<std::string> register_tree_folder(const std::string& path);
  // The IDs registered, sorted.
  std::vector<std::string> registered_tree_ids() const;

  // Builds the registered BehaviorTree `tree_name` (what main_tree_to_execute says in its
  // document does not matter). Its SubTrees resolve against the registered definitions. Throws
  // TreeBuildError for an ID that is not registered, naming it and the registered ones, and as
  // create_tree for the tree itself.
  Tree create_tree_by_name(const std::string& tree_name) const;
  // Throws the TreeBuildError create_tree_by_name throws for an ID that is not registered;
  // returns the definitions that define it otherwise.
  std::shared_ptr<const TreeDefinitions> registered_tree(const std::string& tree_name) const;

  // Builds the main tree of an XML document (format version 4; docs/core.md lists what is
  // accepted). Relative `include` paths resolve as TreeSource says: against the file's folder,
  // or for text against the working directory, which is consulted for nothing else (a removed
  // one fails only such an include). A SubTree (and main_tree_to_execute) may name a registered
  // BehaviorTree; the document's own trees win over registered ones of the same ID. Throws
  // TreeBuildError naming the problem, prefixed with "path:line: " (or "<xml text>:line: ").
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
