#pragma once
// What a built Tree holds. Internal to the core.

#include <kelmora/core/tree.hpp>
#include <memory>
#include <stop_token>
#include <string>

namespace kelmora::core {

struct Tree::Impl {
  std::unique_ptr<TreeNode> root;
  std::shared_ptr<Blackboard> blackboard = Blackboard::create();
  std::shared_ptr<TreeTimers> timers = std::make_shared<TreeTimers>();
  std::stop_token stop_token;
  std::string main_tree_id;
};

}  // namespace kelmora::core
