#pragma once
// The shared world of the stress program: a pool of engines that several threads use at once,
// and the random operations each thread runs against it, each checked as soon as it returns.
//
// Thread-safe where marked; a StressWorker belongs to one thread.

#include <atomic>
#include <cstdint>
#include <kelmora/engine/trigger/mthread.hpp>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace kelmora::stress {

// Counts of what happened, summed over the threads. Thread-safe.
struct StressCounters {
  std::atomic<std::uint64_t> operations{0};
  std::atomic<std::uint64_t> trees_created{0};
  std::atomic<std::uint64_t> engines_replaced{0};
  std::atomic<std::uint64_t> failures{0};
};

// Records a broken check: prints it (the first few) and counts it. Thread-safe.
void report_failure(StressCounters& counters, const std::string& message);

// Engines shared by every stress thread. Each has the stress actions registered and a few shared
// trees ("shared_0" ...) that any thread may command, stop and create again.
class EnginePool {
 public:
  static constexpr int kSharedTrees = 3;

  explicit EnginePool(int engines);
  // A random engine of the pool. Thread-safe.
  std::shared_ptr<ThreadEngine> pick(std::mt19937_64& random);
  // Puts a fresh engine in a random slot; the old one is destroyed, with whatever trees it still
  // has, when its last user lets go of it. Thread-safe.
  void replace_one(std::mt19937_64& random);
  // Drops every engine. Thread-safe.
  void clear();

  // A new engine with the stress actions and the shared trees. Thread-safe.
  static std::shared_ptr<ThreadEngine> make_engine();

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<ThreadEngine>> engines_;
};

// One stress thread: creates its own trees on random engines and checks every result exactly;
// commands, stops and re-creates the shared trees, accepting only the outcomes a race with other
// threads can explain.
class StressWorker {
 public:
  StressWorker(int index, std::uint64_t seed, EnginePool& pool, StressCounters& counters);
  // Runs random operations until `keep_going` reads false; drops its trees at the end.
  void run(const std::atomic<bool>& keep_going);

 private:
  enum class Kind { kCounting, kFailing, kBroken };
  struct OwnTree {
    std::shared_ptr<ThreadEngine> engine;  // keeps the engine alive while the tree is ours
    std::string id;
    Kind kind = Kind::kCounting;
    std::int64_t count = 0;       // the "count" entry, written by every tick of Count
    std::int64_t tick_count = 0;  // the status map's tick_count
    bool first_command_done = false;
  };

  void step();
  void create_own_tree();
  void command_own_tree(OwnTree& tree);
  bool stop_own_tree(OwnTree& tree);  // true when the tree is gone
  void command_broken_tree(OwnTree& tree);
  void command_shared_tree();
  void stop_and_recreate_shared_tree();
  void private_engine_life();
  void verify_counters(OwnTree& tree);

  void fail(const std::string& message);
  int below(int n) { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }

  const int index_;
  std::mt19937_64 random_;
  EnginePool& pool_;
  StressCounters& counters_;
  std::vector<OwnTree> trees_;
  std::uint64_t serial_ = 0;
};

}  // namespace kelmora::stress
