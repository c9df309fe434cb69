#include <kelmora/core/errors.hpp>
#include <kelmora/nodes/control_node.hpp>
#include <utility>

namespace kelmora::nodes {

void DecoratorNode::addChild(std::unique_ptr<core::TreeNode> child) {
  if (childrenCount() != 0) throw core::TreeBuildError(describe() + ": a decorator has one child");
  appendChild(std::move(child));
}

}  // namespace kelmora::nodes
