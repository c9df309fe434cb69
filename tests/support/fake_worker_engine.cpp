#include "support/fake_worker_engine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <kelmora/core/errors.hpp>
#include <thread>

#include "support/wait.hpp"

namespace kelmora::testing {

using core::NodeStatus;

namespace {

// Values in the journal as the host protocol spells them: "None", and "int" for every integer.
std::string journal_text(const std::any& value) {
  return value.has_value() ? core::any_to_text(value) : "None";
}
std::string journal_kind(const std::any& value) {
  return core::any_as_integer(value) ? "int" : core::any_kind_name(value);
}

}  // namespace

engine::trigger::ThreadEngine::Options FakeWorld::options(bool spin) {
  engine::trigger::ThreadEngine::Options opts;
  std::weak_ptr<FakeWorld> weak = weak_from_this();
  opts.make_engine = [weak]() -> std::unique_ptr<engine::trigger::WorkerEngine> {
    return std::make_unique<FakeWorkerEngine>(weak.lock());
  };
  if (!spin) opts.spin_time = std::chrono::nanoseconds::zero();
  return opts;
}

void FakeWorld::note(std::string entry) {
  std::lock_guard lock(mutex_);
  journal_.push_back(std::move(entry));
}

std::vector<std::string> FakeWorld::journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

std::vector<std::string> FakeWorld::journal_of(const std::string& prefix) const {
  std::vector<std::string> out;
  for (auto& entry : journal()) {
    if (entry.rfind(prefix, 0) == 0) out.push_back(entry);
  }
  return out;
}

FakeWorkerEngine::FakeWorkerEngine(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {
  ++world_->made;
  if (world_->hooks.on_make) world_->hooks.on_make(*this);
}

FakeWorkerEngine::~FakeWorkerEngine() { ++world_->destroyed; }

void FakeWorkerEngine::note(const std::string& entry) { world_->note(xml_ + ":" + entry); }

void FakeWorkerEngine::register_action_behavior(const std::string& action_id,
                                                core::TickFunctor /*tick_functor*/,
                                                core::PortsList ports_list) {
  note("register " + action_id + " " + std::to_string(ports_list.size()));
}

void FakeWorkerEngine::create_tree(const core::TreeSource& source) {
  xml_ = source.text();
  note("build");
  if (world_->hooks.on_build) world_->hooks.on_build(*this, xml_);
}

std::any FakeWorkerEngine::tick_once() {
  note("tick_once");
  return world_->hooks.tick_once ? world_->hooks.tick_once(*this) : std::any(NodeStatus::SUCCESS);
}

std::any FakeWorkerEngine::tick_until_failure() {
  note("tick_until_failure");
  return world_->hooks.tick_until_failure ? world_->hooks.tick_until_failure(*this)
                                          : std::any(std::int64_t{3});
}

std::any FakeWorkerEngine::tick_until_success() {
  note("tick_until_success");
  return world_->hooks.tick_until_success ? world_->hooks.tick_until_success(*this)
                                          : std::any(std::int64_t{1});
}

std::any FakeWorkerEngine::tick_n_times(const std::any& n) {
  note("tick_n_times " + journal_text(n) + " " + journal_kind(n));
  if (world_->hooks.tick_n_times) return world_->hooks.tick_n_times(*this, n);
  std::int64_t count = 0;
  if (const auto* i64 = std::any_cast<std::int64_t>(&n)) {
    count = *i64;
  } else if (const auto* i = std::any_cast<int>(&n)) {
    count = *i;
  } else {
    throw TypeError("n is not an integer");
  }
  return std::vector<NodeStatus>(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)),
                                 NodeStatus::SUCCESS);
}

std::any FakeWorkerEngine::get_tree_status() {
  note("get_tree_status");
  if (world_->hooks.get_tree_status) return world_->hooks.get_tree_status(*this);
  return core::AnyMap{{"status", std::string("IDLE")}};
}

std::any FakeWorkerEngine::get_blackboard_data(const std::any& key) {
  note("get_blackboard_data " + journal_text(key));
  auto text = core::any_as_string(key);
  if (!text) return {};
  auto it = blackboard_.find(*text);
  return it == blackboard_.end() ? std::any{} : it->second;
}

std::any FakeWorkerEngine::set_blackboard_data(const std::any& key, std::any value) {
  note("set_blackboard_data " + journal_text(key) + " " + journal_text(value));
  blackboard_[core::any_as_string(key).value_or("None")] = std::move(value);
  return world_->hooks.set_result ? world_->hooks.set_result(*this) : std::any{};
}

std::any FakeWorkerEngine::get_all_blackboard_data() {
  note("get_all_blackboard_data");
  return world_->hooks.get_all ? world_->hooks.get_all(*this) : std::any(blackboard_);
}

std::any FakeWorkerEngine::reset_tree() {
  note("reset_tree");
  return world_->hooks.reset_result ? world_->hooks.reset_result(*this) : std::any{};
}

void FakeWorkerEngine::loop_until_stopped() {
  std::mutex mutex;
  std::condition_variable_any cond;
  std::unique_lock lock(mutex);
  cond.wait(lock, stop_token_, [] { return false; });
  throw core::TreeStoppedError("tree was stopped while ticking");
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
