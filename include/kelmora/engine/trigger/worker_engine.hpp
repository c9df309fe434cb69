#pragma once
// WorkerEngine: what a tree's worker thread drives. Results are values of any kind, so that a
// host's engine (or a test's substitute) can return whatever it returns; the thread engine checks
// their kinds where its operations declare one.
//
// Not thread-safe: made, used and destroyed on one worker thread.

#include <any>
#include <kelmora/core/any.hpp>
#include <kelmora/core/ports.hpp>
#include <kelmora/core/tree_node.hpp>
#include <kelmora/core/tree_source.hpp>
#include <memory>
#include <stop_token>
#include <string>

namespace kelmora::engine::trigger {

class WorkerEngine {
 public:
  virtual ~WorkerEngine() = default;
  virtual void register_action_behavior(const std::string& action_id,
                                        core::TickFunctor tick_functor,
                                        core::PortsList ports_list) = 0;
  // Builds the tree (a file's text was read on the caller's side).
  virtual void create_tree(const core::TreeSource& source) = 0;
  virtual std::any tick_once() = 0;                      // NodeStatus
  virtual std::any tick_until_failure() = 0;             // std::int64_t
  virtual std::any tick_until_success() = 0;             // std::int64_t
  virtual std::any tick_n_times(const std::any& n) = 0;  // std::vector<NodeStatus>
  virtual std::any get_tree_status() = 0;                // core::AnyMap
  virtual std::any get_blackboard_data(const std::any& key) = 0;
  virtual std::any set_blackboard_data(const std::any& key, std::any value) = 0;
  virtual std::any get_all_blackboard_data() = 0;  // core::AnyMap
  virtual std::any reset_tree() = 0;
  // A stop request on this token ends tick loops and timer waits early.
  virtual void set_stop_token(std::stop_token token) { (void)token; }
};

// A WorkerEngine backed by a SequentialEngine.
std::unique_ptr<WorkerEngine> make_sequential_worker_engine();

}  // namespace kelmora::engine::trigger
