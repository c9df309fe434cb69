#pragma once
// What a built Tree holds. Internal to the core.

#include <kelmora/core/tree.hpp>
#include <memory>
#include <string>

namespace kelmora::core {

struct Tree::Impl {
  std::unique_ptr<TreeNode> root;
  std::shared_ptr<Blackboard> blackboard = Blackboard::create();
  // Also holds the tree's stop token, so that nodes can check it.
  std::shared_ptr<TreeTimers> timers = std::make_shared<TreeTimers>();
  std::string main_tree_id;
  // Whether a tick of this tree is in progress (see Tree::refuseWhileTicking).
  bool ticking = false;
};

}  // namespace kelmora::core
