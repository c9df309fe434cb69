// The default WorkerEngine: a SequentialEngine behind the any-valued worker interface.

#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/worker_engine.hpp>
#include <utility>

#include "any_values.hpp"

namespace kelmora::engine::trigger {
namespace {

// Not thread-safe: made, used and destroyed on one worker thread.
class SequentialWorkerEngine final : public WorkerEngine {
 public:
  void register_action_behavior(const std::string& action_id, core::TickFunctor tick_functor,
                                core::PortsList ports_list) override {
    engine_.register_action_behavior(action_id, std::move(tick_functor), std::move(ports_list));
  }
  void create_tree(const core::TreeSource& source) override { engine_.create_tree(source); }
  std::any tick_once() override { return engine_.tick_once(); }
  std::any tick_until_failure() override { return engine_.tick_until_failure(); }
  std::any tick_until_success() override { return engine_.tick_until_success(); }
  std::any tick_n_times(const std::any& n) override {
    auto count = details::any_integer(n);
    if (!count) {
      throw TypeError("'" + details::protocol_kind_name(n) +
                      "' object cannot be interpreted as an integer");
    }
    return engine_.tick_n_times(*count);
  }
  std::any get_tree_status() override { return engine_.get_tree_status(); }
  std::any get_blackboard_data(const std::any& key) override {
    return engine_.get_blackboard_data(key_text(key));
  }
  std::any set_blackboard_data(const std::any& key, std::any value) override {
    engine_.set_blackboard_data(key_text(key), std::move(value));
    return {};
  }
  std::any get_all_blackboard_data() override { return engine_.get_all_blackboard_data(); }
  std::any reset_tree() override {
    engine_.reset_tree();
    return {};
  }
  void set_stop_token(std::stop_token token) override { engine_.set_stop_token(std::move(token)); }

 private:
  static std::string key_text(const std::any& key) {
    if (auto text = core::any_as_string(key)) return *std::move(text);
    throw TypeError("blackboard key must be str, got " + details::protocol_kind_name(key));
  }

  SequentialEngine engine_;
};

}  // namespace

std::unique_ptr<WorkerEngine> make_sequential_worker_engine() {
  return std::make_unique<SequentialWorkerEngine>();
}

}  // namespace kelmora::engine::trigger
