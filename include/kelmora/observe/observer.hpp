#pragma once
// Observers of a ThreadEngine's trees: what they are told after every tick step of a tree.
//
// An observer is attached to an engine (every tree, present and future) or to one tree with
// ThreadEngine::add_observer. While a tree has at least one observer its nodes' status changes
// are recorded as transitions (see kelmora/core/transitions.hpp); after each tick step (each
// tick, also one that threw, a reset, the build) the tree's worker calls on_step of every
// observer of the tree, on the worker thread, with the transitions of that step. Without
// observers nothing is recorded and nothing is called.
//
// An observer may use the engine: a command to its own tree is refused (RuntimeError, as from a
// tick), one to another tree is served, and adding or removing observers is allowed. An
// exception from an observer is logged at error level and the observer is removed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <kelmora/core/node_status.hpp>
#include <kelmora/core/transitions.hpp>
#include <kelmora/core/tree.hpp>
#include <kelmora/core/tree_node.hpp>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kelmora::observe {

// One node of an observed tree.
struct NodeInfo {
  std::uint32_t uid = 0;  // the node's id within its tree (TreeNode::uid)
  std::string name;
  std::string registration_id;
  core::NodeKind kind = core::NodeKind::ACTION;
  std::optional<std::uint32_t> parent;  // none for the root
  // The names from the root to the node, joined by '/': "Root/Fetch/Open".
  std::string path;
  // The node's ports as the XML binds them: (port name, "literal" or "{key}"; empty: unbound).
  std::vector<std::pair<std::string, std::string>> ports;
};

// The structure of one built tree of an engine. Immutable once published; shared by observers.
struct TreeShape {
  std::string tree_id;
  std::uint64_t sequence = 0;  // the engine's creation order, unique within the engine
  std::string main_tree;
  std::string xml;
  std::chrono::system_clock::time_point created_at;
  std::vector<NodeInfo> nodes;  // indexed by uid, depth first from the root
};

// The shape of a built tree (tree id, sequence, XML and creation time left for the caller to
// fill). Not thread-safe: call it on the tree's own thread.
TreeShape describe_tree(const core::Tree& tree);

// A steady-clock time on the wall clock. Thread-safe.
std::chrono::system_clock::time_point to_wall_time(std::chrono::steady_clock::time_point time);

// What an observer is told after a tick step. Valid only during the call.
struct Step {
  const TreeShape& tree;
  // The same shape, shared: an observer may keep it beyond the call.
  const std::shared_ptr<const TreeShape>& shape;
  // The changes of the step, in order; a transition's node is tree.nodes[t.node].
  std::span<const core::Transition> transitions;
  // The tree itself, for reading statuses, counters and the blackboard during the call (never
  // for changing it).
  const core::Tree& live;
};

class Observer {
 public:
  virtual ~Observer() = default;
  // After each tick step of an observed tree (possibly with no transitions). Called on the
  // tree's worker thread; different trees call it concurrently, so an observer of several trees
  // must be thread-safe.
  virtual void on_step(const Step& step) = 0;
  // The tree has ended (stopped, or its worker failed after it was built): no more steps. Called
  // on the tree's worker thread as it leaves.
  virtual void on_tree_end(const TreeShape& /*tree*/) {}
};

// One transition with everything about its node, for observers that take one at a time.
struct TransitionRecord {
  std::string tree_id;
  std::uint32_t node_id = 0;
  std::string name;
  std::string registration_id;
  std::string path;
  core::NodeStatus previous = core::NodeStatus::IDLE;
  core::NodeStatus status = core::NodeStatus::IDLE;
  std::chrono::steady_clock::time_point time;
  std::chrono::system_clock::time_point wall_time;
};

using TransitionCallback = std::function<void(const TransitionRecord&)>;

// An observer calling `callback` once per transition, in order. Thread-safety of the callback:
// as on_step (called concurrently for different trees).
std::shared_ptr<Observer> transition_observer(TransitionCallback callback);

}  // namespace kelmora::observe
