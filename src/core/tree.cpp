#include <kelmora/core/errors.hpp>
#include <kelmora/core/tree.hpp>
#include <stdexcept>
#include <utility>

#include "tree_impl.hpp"

namespace kelmora::core {

Tree::Tree() : impl_(std::make_unique<Impl>()) {}
Tree::Tree(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Tree::~Tree() = default;
Tree::Tree(Tree&&) noexcept = default;
Tree& Tree::operator=(Tree&&) noexcept = default;

NodeStatus Tree::tickOnce() {
  if (!impl_ || !impl_->root) throw std::logic_error("the tree has no root node");
  impl_->timers->clear();
  try {
    return impl_->root->executeTick();
  } catch (...) {
    // A tick that threw left nodes part-way; start the next tick afresh.
    impl_->timers->clear();
    impl_->root->haltNode();
    throw;
  }
}

void Tree::haltTree() {
  if (!impl_) return;
  impl_->timers->clear();
  if (impl_->root) impl_->root->resetNode();
}

TreeNode* Tree::rootNode() const noexcept { return impl_ ? impl_->root.get() : nullptr; }

const std::shared_ptr<Blackboard>& Tree::rootBlackboard() const noexcept {
  static const std::shared_ptr<Blackboard> kNone;
  return impl_ ? impl_->blackboard : kNone;
}

std::vector<TreeNode*> Tree::nodes() const {
  std::vector<TreeNode*> all;
  if (!impl_ || !impl_->root) return all;
  std::vector<TreeNode*> stack{impl_->root.get()};
  while (!stack.empty()) {
    TreeNode* node = stack.back();
    stack.pop_back();
    all.push_back(node);
    auto children = node->children();
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return all;
}

const std::string& Tree::mainTreeId() const noexcept {
  static const std::string kNone;
  return impl_ ? impl_->main_tree_id : kNone;
}

std::optional<TreeTimers::Clock::time_point> Tree::nextWakeup() const noexcept {
  return impl_ ? impl_->timers->next_wakeup() : std::nullopt;
}

void Tree::setStopToken(std::stop_token token) {
  if (impl_) impl_->stop_token = std::move(token);
}

const std::stop_token& Tree::stopToken() const noexcept {
  static const std::stop_token kNone;
  return impl_ ? impl_->stop_token : kNone;
}

}  // namespace kelmora::core
