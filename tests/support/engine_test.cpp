#include "support/engine_test.hpp"

#include <thread>
#include <utility>

#include "engine/trigger/engine_access.hpp"
#include "support/wait.hpp"

namespace kelmora::testing {

std::string act_tree(const std::string& name) {
  return R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Act name=")" + name +
         R"("/></BehaviorTree></root>)";
}

void Script::install(ThreadEngine& engine) {
  engine.register_action_behavior("Act", [this](core::TreeNode& node) { return tick(node); }, {});
}

core::NodeStatus Script::tick(core::TreeNode& node) {
  {
    std::lock_guard lock(mutex_);
    journal_.push_back(node.name() + ":tick");
  }
  return on_tick ? on_tick(node) : core::NodeStatus::SUCCESS;
}

std::vector<std::string> Script::journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

std::vector<std::string> Script::journal_of(const std::string& prefix) const {
  std::vector<std::string> out;
  for (auto& entry : journal()) {
    if (entry.rfind(prefix, 0) == 0) out.push_back(entry);
  }
  return out;
}

std::stop_token stop_token_of(const core::TreeNode& node) {
  const auto& timers = node.config().timers;
  return timers ? timers->stop_token() : std::stop_token();
}

void wait_for_stop(const core::TreeNode& node) {
  std::mutex mutex;
  std::condition_variable_any cond;
  const std::stop_token token = stop_token_of(node);
  std::unique_lock lock(mutex);
  cond.wait(lock, token, [] { return false; });
}

void hold_workers(ThreadEngine& engine, Gate& gate) {
  engine::trigger::details::EngineAccess::set_start_thread(
      engine, [&gate](std::function<void()> body) {
        return std::thread([&gate, body = std::move(body)] {
          gate.wait();
          body();
        });
      });
}

void Gate::open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  cond_.notify_all();
}

void Gate::wait() {
  std::unique_lock lock(mutex_);
  cond_.wait(lock, [&] { return open_; });
}

bool Gate::is_open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void eventually(const std::function<bool()>& done) {
  if (!wait_until(done)) ADD_FAILURE() << "the awaited effect did not come within 30 s";
}

}  // namespace kelmora::testing
