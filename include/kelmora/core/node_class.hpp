#pragma once
// NodeClass: a class of nodes as register_node_class sees it, whether a C++ class (node_class<T>)
// or a host's class (the Python module builds one for a Python class).
//
// A node class derives from exactly one of the kind bases: nodes::ControlNode (one or more
// children), nodes::DecoratorNode (exactly one), nodes::ConditionNode (a leaf that never returns
// RUNNING), nodes::SimpleActionNode (a leaf) or nodes::StatefulActionNode (a leaf with
// onStart/onRunning/onHalted). Each kind base names its kind in a static member
// `kNodeClassKind`, which is how node_class<T>() tells the kinds apart without the core naming
// the node classes.

#include <concepts>
#include <functional>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/core/type_name.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace kelmora::core {

// Makes one node of a class from the element's configuration.
using NodeCreator = std::function<std::unique_ptr<TreeNode>(NodeConfig)>;

struct NodeClass {
  // The class's own name, without namespaces: the id it is registered under by default.
  std::string name;
  // The class's kind; none for a class derived from none of the kind bases (or from several),
  // which every register_node_class refuses.
  std::optional<NodeKind> kind;
  // The port descriptions of its nodes (an empty list when the class declares none).
  PortsList ports;
  // Makes one node; set whenever `kind` is. It runs on the thread that builds the tree.
  NodeCreator create;
};

// "节点类 X 必须继承自ControlNode、DecoratorNode、ConditionNode、SimpleActionNode或
// StatefulActionNode": the message of the TypeError (and of the error line) for a class of no
// known kind, the same text for C++ and host classes. Thread-safe.
std::string unknown_node_class_message(std::string_view class_name);

// Whether T is a node class of a known kind: derived from TreeNode, with exactly one kind base
// (an ambiguous or hidden kNodeClassKind counts as none).
template <class T>
concept KnownNodeClass = std::is_base_of_v<TreeNode, T> && requires {
  { T::kNodeClassKind } -> std::convertible_to<NodeKind>;
};

// Describes the C++ class T: its own name (core::short_type_name), its kind, its static `ports`
// list if it has one, and a creator calling T(NodeConfig). A class of no known kind is described
// with no kind and no creator (and need not be constructible), so that registering it compiles
// and is refused at run time. A class of a known kind must be constructible from NodeConfig.
template <class T>
NodeClass node_class() {
  NodeClass cls;
  cls.name = short_type_name(typeid(T));
  if constexpr (KnownNodeClass<T>) {
    static_assert(std::is_constructible_v<T, NodeConfig>,
                  "a node class must be constructible from kelmora::core::NodeConfig (add "
                  "`using Base::Base;` or a constructor taking NodeConfig)");
    cls.kind = static_cast<NodeKind>(T::kNodeClassKind);
    cls.create = [](NodeConfig config) -> std::unique_ptr<TreeNode> {
      return std::make_unique<T>(std::move(config));
    };
  }
  if constexpr (requires { PortsList(T::ports); }) {
    cls.ports = PortsList(T::ports);
  }
  return cls;
}

}  // namespace kelmora::core
