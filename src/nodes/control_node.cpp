#include <kelmora/nodes/control_node.hpp>
#include <stdexcept>
#include <utility>

namespace kelmora::nodes {

std::vector<core::TreeNode*> ControlNode::children() const {
  std::vector<core::TreeNode*> list;
  list.reserve(children_.size());
  for (const auto& child : children_) list.push_back(child.get());
  return list;
}

void ControlNode::addChild(std::unique_ptr<core::TreeNode> child) {
  if (!child) throw std::invalid_argument(describe() + ": a child must not be null");
  children_.push_back(std::move(child));
}

void ControlNode::haltChildren(std::size_t first) {
  for (std::size_t i = first; i < children_.size(); ++i) children_[i]->haltNode();
}

std::vector<core::TreeNode*> DecoratorNode::children() const {
  if (!child_) return {};
  return {child_.get()};
}

void DecoratorNode::setChild(std::unique_ptr<core::TreeNode> child) {
  if (!child) throw std::invalid_argument(describe() + ": a child must not be null");
  child_ = std::move(child);
}

}  // namespace kelmora::nodes
