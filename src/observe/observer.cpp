// Observers: the shape of a built tree, and the observer that hands out one transition at a time.

#include <kelmora/observe/observer.hpp>
#include <utility>

namespace kelmora::observe {

std::chrono::system_clock::time_point to_wall_time(std::chrono::steady_clock::time_point time) {
  return std::chrono::system_clock::now() +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(
             time - std::chrono::steady_clock::now());
}

TreeShape describe_tree(const core::Tree& tree) {
  TreeShape shape;
  shape.main_tree = tree.mainTreeId();
  const core::TreeNode* root = tree.rootNode();
  if (root == nullptr) return shape;
  // Paths and parents by depth: the last node seen at each depth is the parent of the next one
  // a level deeper (depth-first order).
  std::vector<std::uint32_t> at_depth;
  core::visit_depth_first(*root, [&](const core::TreeNode& node, std::size_t depth) {
    NodeInfo info;
    info.uid = node.uid();
    info.name = node.name();
    info.registration_id = node.registration_id();
    info.kind = node.kind();
    at_depth.resize(depth);
    if (depth > 0) {
      info.parent = at_depth[depth - 1];
      info.path = shape.nodes[at_depth[depth - 1]].path + "/" + node.name();
    } else {
      info.path = node.name();
    }
    const auto& ports = node.ports();
    const auto& bindings = node.portBindings();
    for (std::size_t i = 0; i < ports.size(); ++i) {
      std::string bound;
      if (i < bindings.size()) {
        if (bindings[i].kind == core::PortBinding::Kind::LITERAL) bound = bindings[i].text;
        if (bindings[i].kind == core::PortBinding::Kind::ENTRY) {
          bound = "{" + bindings[i].text + "}";
        }
      }
      info.ports.emplace_back(ports[i].name, std::move(bound));
    }
    at_depth.push_back(info.uid);
    if (shape.nodes.size() <= info.uid) shape.nodes.resize(info.uid + 1);
    shape.nodes[info.uid] = std::move(info);
  });
  return shape;
}

namespace {

class CallbackObserver final : public Observer {
 public:
  explicit CallbackObserver(TransitionCallback callback) : callback_(std::move(callback)) {}

  void on_step(const Step& step) override {
    if (step.transitions.empty()) return;
    const auto offset = std::chrono::system_clock::now().time_since_epoch() -
                        std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            std::chrono::steady_clock::now().time_since_epoch());
    for (const core::Transition& t : step.transitions) {
      const NodeInfo& node = step.tree.nodes.at(t.node);
      TransitionRecord record;
      record.tree_id = step.tree.tree_id;
      record.node_id = t.node;
      record.name = node.name;
      record.registration_id = node.registration_id;
      record.path = node.path;
      record.previous = t.previous;
      record.status = t.status;
      record.time = t.time;
      record.wall_time = std::chrono::system_clock::time_point(
          offset + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       t.time.time_since_epoch()));
      callback_(record);
    }
  }

 private:
  TransitionCallback callback_;
};

}  // namespace

std::shared_ptr<Observer> transition_observer(TransitionCallback callback) {
  return std::make_shared<CallbackObserver>(std::move(callback));
}

}  // namespace kelmora::observe
