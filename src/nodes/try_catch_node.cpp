#include <kelmora/nodes/try_catch_node.hpp>

namespace kelmora::nodes {

using core::NodeStatus;

NodeStatus TryCatchNode::finish(NodeStatus result) {
  current_ = 0;
  catching_ = false;
  haltChildren();
  return result;
}

NodeStatus TryCatchNode::onTick() {
  if (status() != NodeStatus::RUNNING) {  // a new run begins
    current_ = 0;
    catching_ = false;
    all_skipped_ = true;
  }
  setStatus(NodeStatus::RUNNING);
  const std::size_t catch_index = childrenCount() - 1;
  if (!catching_) {
    for (; current_ < catch_index; ++current_) {
      const NodeStatus result = child(current_).executeTick();
      if (result == NodeStatus::SKIPPED) continue;
      all_skipped_ = false;
      if (result == NodeStatus::RUNNING) return result;
      if (result == NodeStatus::FAILURE) break;
    }
    if (current_ == catch_index) {
      return finish(all_skipped_ ? NodeStatus::SKIPPED : NodeStatus::SUCCESS);
    }
    catching_ = true;
    haltChildren();  // the try block ends here; the catch is still IDLE
  }
  const NodeStatus result = child(catch_index).executeTick();
  if (result == NodeStatus::RUNNING) return result;
  return finish(NodeStatus::FAILURE);
}

void TryCatchNode::onHalt() {
  const bool trying = !catching_;
  current_ = 0;
  catching_ = false;
  if (!trying || !getInputBool("catch_on_halt", false)) return;
  const std::size_t catch_index = childrenCount() - 1;
  for (std::size_t i = 0; i < catch_index; ++i) haltChild(i);
  if (child(catch_index).executeTick() == NodeStatus::RUNNING) haltChild(catch_index);
}

}  // namespace kelmora::nodes
