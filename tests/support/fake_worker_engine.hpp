#pragma once
// FakeWorkerEngine: a scriptable stand-in for a tree's engine, for testing the thread engine
// without the behaviour-tree core. Every engine made through one FakeWorld writes what it is
// asked to do into the world's journal; the world's hooks decide what each call returns.
//
// Thread-safe: the journal and counters may be read while workers run. The hooks are set before
// the engines are made and only read afterwards.

#include <any>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <kelmora/engine/trigger/mthread.hpp>
#include <memory>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <string>
#include <vector>

#include "support/log_capture.hpp"

namespace kelmora::testing {

class FakeWorkerEngine;

// The behaviour of the fakes; an empty hook keeps the default noted beside it.
struct FakeHooks {
  std::function<void(FakeWorkerEngine&)> on_make;                            // nothing
  std::function<void(FakeWorkerEngine&, const std::string&)> on_build;       // nothing
  std::function<std::any(FakeWorkerEngine&)> tick_once;                      // NodeStatus::SUCCESS
  std::function<std::any(FakeWorkerEngine&)> tick_until_failure;             // std::int64_t 3
  std::function<std::any(FakeWorkerEngine&)> tick_until_success;             // std::int64_t 1
  std::function<std::any(FakeWorkerEngine&, const std::any&)> tick_n_times;  // n x SUCCESS
  std::function<std::any(FakeWorkerEngine&)> get_tree_status;                // {"status": "IDLE"}
  std::function<std::any(FakeWorkerEngine&)> get_all;       // the fake's blackboard
  std::function<std::any(FakeWorkerEngine&)> set_result;    // none
  std::function<std::any(FakeWorkerEngine&)> reset_result;  // none
};

class FakeWorld : public std::enable_shared_from_this<FakeWorld> {
 public:
  FakeHooks hooks;

  // Options whose make_engine makes fakes of this world (and no spinning unless `spin`).
  engine::trigger::ThreadEngine::Options options(bool spin = false);

  void note(std::string entry);
  std::vector<std::string> journal() const;
  // Journal entries that start with `prefix`.
  std::vector<std::string> journal_of(const std::string& prefix) const;

  std::atomic<int> made{0};
  std::atomic<int> destroyed{0};

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> journal_;
};

// Journal entries: "register <id> <ports count>", "build", "<op>" or "<op> <arguments>", each
// prefixed by the engine's xml text ("?" before the build) and a colon, e.g. "A:tick_once". An
// engine is named by the xml it was built from, so tests name trees by their xml text.
class FakeWorkerEngine final : public engine::trigger::WorkerEngine {
 public:
  explicit FakeWorkerEngine(std::shared_ptr<FakeWorld> world);
  ~FakeWorkerEngine() override;

  void register_action_behavior(const std::string& action_id, core::TickFunctor tick_functor,
                                core::PortsList ports_list) override;
  void create_tree(const core::TreeSource& source) override;
  void create_tree_from_text(const std::string& xml_text) {
    create_tree(core::TreeSource::from_text(xml_text));
  }
  std::any tick_once() override;
  std::any tick_until_failure() override;
  std::any tick_until_success() override;
  std::any tick_n_times(const std::any& n) override;
  std::any get_tree_status() override;
  std::any get_blackboard_data(const std::any& key) override;
  std::any set_blackboard_data(const std::any& key, std::any value) override;
  std::any get_all_blackboard_data() override;
  std::any reset_tree() override;
  void set_stop_token(std::stop_token token) override { stop_token_ = std::move(token); }

  const std::string& xml() const { return xml_; }
  const std::stop_token& stop_token() const { return stop_token_; }
  core::AnyMap& blackboard() { return blackboard_; }
  // Waits until a stop is requested on the engine's token, then throws TreeStoppedError, as a
  // tick loop of the real engine does.
  [[noreturn]] void loop_until_stopped();

 private:
  void note(const std::string& entry);

  std::shared_ptr<FakeWorld> world_;
  std::string xml_ = "?";
  std::stop_token stop_token_;
  core::AnyMap blackboard_;
};

// A one-shot gate: threads wait until it is opened. Thread-safe.
class Gate {
 public:
  void open();
  void wait();
  bool is_open() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool open_ = false;
};

// Readable log lines in test failures.
inline void PrintTo(const LogLine& line, std::ostream* os) {
  *os << "{" << line.level << ", \"" << line.text << "\"}";
}

// The text of the exception `f` throws, or "(no error)".
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// Waits until `done` holds, re-checking after short sleeps (see wait_until); fails the test if it
// does not within 30 s. For waiting on effects that have no notification, e.g. a log line.
void eventually(const std::function<bool()>& done);

}  // namespace kelmora::testing
