// ThreadEngine: observers, the recording, the monitor and pictures of trees.

#include <kelmora/core/dot.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <stdexcept>
#include <utility>

#include "engine_access.hpp"
#include "engine_state.hpp"
#include "observe/monitor.hpp"
#include "observe/recorder.hpp"

namespace kelmora::engine::trigger {

ThreadEngine::ObserverId ThreadEngine::add_observer(std::shared_ptr<observe::Observer> observer,
                                                    std::optional<std::string> tree_id) {
  if (!observer) throw std::invalid_argument("add_observer: the observer must not be null");
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  if (tree_id) details::find_tree(*state_, *tree_id);
  return state_->hub->add(std::move(observer), std::move(tree_id));
}

ThreadEngine::ObserverId ThreadEngine::add_transition_observer(observe::TransitionCallback callback,
                                                               std::optional<std::string> tree_id) {
  if (!callback) {
    throw std::invalid_argument("add_transition_observer: the callback must not be empty");
  }
  return add_observer(observe::transition_observer(std::move(callback)), std::move(tree_id));
}

bool ThreadEngine::remove_observer(ObserverId id) { return state_->hub->remove(id); }

void ThreadEngine::start_recording(const std::string& path) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  std::lock_guard lock(state_->services_mutex);
  if (state_->recorder) {
    throw RuntimeError("already recording to '" + state_->recorder->path() + "'");
  }
  auto recorder = std::make_shared<observe::details::Recorder>(path, state_->hub->shapes());
  state_->recorder_id = state_->hub->add(recorder, std::nullopt);
  state_->recorder = std::move(recorder);
}

void ThreadEngine::stop_recording() {
  std::shared_ptr<observe::details::Recorder> recorder;
  {
    std::lock_guard lock(state_->services_mutex);
    if (!state_->recorder) return;
    state_->hub->remove(state_->recorder_id);
    recorder = std::move(state_->recorder);
  }
  recorder->stop();  // outside the lock: it waits for the writer's last batch
}

std::string ThreadEngine::serve_monitor(const std::string& host, int port) {
  if (state_->inherited()) throw RuntimeError(details::inherited_message(), Errc::inherited);
  std::lock_guard lock(state_->services_mutex);
  if (state_->monitor) return state_->monitor->url();
  auto monitor = std::make_shared<observe::details::Monitor>(state_->hub, host, port);
  state_->monitor_id = state_->hub->add(monitor, std::nullopt);
  state_->monitor = std::move(monitor);
  log::info("monitor: " + state_->monitor->url());
  return state_->monitor->url();
}

void ThreadEngine::stop_monitor() {
  std::shared_ptr<observe::details::Monitor> monitor;
  {
    std::lock_guard lock(state_->services_mutex);
    if (!state_->monitor) return;
    state_->hub->remove(state_->monitor_id);
    monitor = std::move(state_->monitor);
  }
  monitor->stop();
}

std::string ThreadEngine::tree_to_dot(const std::string& tree_id) {
  std::string dot;
  auto job = [&dot, &tree_id](SequentialEngine& engine) {
    dot = core::to_dot(engine.held_tree(), tree_id);
  };
  details::EngineAccess::run(*this, tree_id, "tree_to_dot", details::JobRef(job));
  return dot;
}

namespace details {

void end_observation(EngineState& state) noexcept {
  std::shared_ptr<observe::details::Monitor> monitor;
  std::shared_ptr<observe::details::Recorder> recorder;
  {
    std::lock_guard lock(state.services_mutex);
    // Out of the hub first: the monitor holds the hub, so while the hub holds it neither goes.
    if (state.monitor) state.hub->remove(state.monitor_id);
    if (state.recorder) state.hub->remove(state.recorder_id);
    monitor = std::move(state.monitor);
    recorder = std::move(state.recorder);
  }
  if (monitor) monitor->stop();
  if (recorder) recorder->stop();
}

}  // namespace details
}  // namespace kelmora::engine::trigger
