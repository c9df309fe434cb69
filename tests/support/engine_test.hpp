#pragma once
// Helpers of the thread-engine tests: trees whose one action, "Act", ticks as each test scripts
// it, a one-shot gate, and small waiting and error helpers.
//
// A scripted tree is one Act node named after its tree (act_tree("a")), so a tick function can
// tell the trees apart by node.name(). Every Act tick is noted in the script's journal as
// "<name>:tick" before the script's hook runs.
//
// Thread-safe: the journal may be read while workers tick. Set the hook before the ticks that use
// it (a command sent afterwards sees it: the engine's channel orders the two).

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <kelmora/engine/trigger/mthread.hpp>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <string>
#include <vector>

#include "support/log_capture.hpp"

namespace kelmora::testing {

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

// The XML of a tree made of one Act node named `name`.
std::string act_tree(const std::string& name);

class Script {
 public:
  // What an Act tick does after it is noted; empty: it succeeds.
  std::function<core::NodeStatus(core::TreeNode&)> on_tick;

  // Registers "Act" with `engine` (before the trees that use it are created).
  void install(ThreadEngine& engine);

  std::vector<std::string> journal() const;
  // Journal entries that start with `prefix`.
  std::vector<std::string> journal_of(const std::string& prefix) const;

 private:
  core::NodeStatus tick(core::TreeNode& node);

  mutable std::mutex mutex_;
  std::vector<std::string> journal_;
};

// The stop token of the node's tree: a stop of the tree (stop_tree, stop_all_trees or the
// engine's destruction) requests a stop on it.
std::stop_token stop_token_of(const core::TreeNode& node);
// Blocks the tick until a stop of its tree is requested, then returns.
void wait_for_stop(const core::TreeNode& node);

// Makes every worker `engine` starts from now on wait for `gate` before it begins (so its tree
// stays "being built" until the gate opens). Call it before creating the trees.
void hold_workers(ThreadEngine& engine, Gate& gate);

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

// The code of the kelmora::Error `f` throws; fails the test for anything else.
template <class F>
Errc code_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.code();
  } catch (...) {
    ADD_FAILURE() << "not a kelmora::Error";
    throw;
  }
  ADD_FAILURE() << "nothing thrown";
  return Errc::runtime_error;
}

// Waits until `done` holds, re-checking after short sleeps (see wait_until); fails the test if it
// does not within 30 s. For waiting on effects that have no notification, e.g. a log line.
void eventually(const std::function<bool()>& done);

}  // namespace kelmora::testing
