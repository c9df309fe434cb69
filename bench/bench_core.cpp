// Benchmarks of the behaviour-tree core and of trees running in parallel, each beside its
// hand-written baseline:
// - ticks per second of a 100-node tree (9 Sequences of 10 actions under a root Sequence), ticked
//   in place by a SequentialEngine and through the thread engine (one tick_once round trip per
//   tick, and tick_n_times(1000) per round trip), vs. a plain loop over 100 virtual calls and vs.
//   a loop over 100 std::function calls;
// - two trees ticked at once from two caller threads vs. one tree (CPU-bound ticks), beside two
//   plain threads running the same work vs. one: the speed-up of two over one is in the counter
//   "ticks_per_s" of the /1 and /2 variants (scripts/bench.sh prints the ratios);
// - two trees reading text ports on two threads vs. one tree (each thread ticking its own tree in
//   place), beside two plain threads doing the same reads vs. one: the trees share no lock on
//   the tick path, so they should scale like the plain threads.
// Logging goes to a null sink so the numbers are the engine's, not the terminal's.

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <kelmora/core/any.hpp>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"

namespace {

using kelmora::ThreadEngine;
using kelmora::core::NodeStatus;
using kelmora::core::TreeNode;

using kelmora::bench::silence_log;

// --- a 100-node tree and its baselines ---------------------------------------------------------

using kelmora::bench::g_sink;
using kelmora::bench::hundred_node_tree;
using kelmora::bench::noop_tick;

void register_noop(auto& engine) { engine.register_action_behavior("Noop", &noop_tick, {}); }

void BM_HundredNodeTreeTickInPlace(benchmark::State& state) {
  kelmora::SequentialEngine engine;
  register_noop(engine);
  engine.create_tree_from_text(hundred_node_tree());
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once());
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HundredNodeTreeTickInPlace);

void BM_HundredNodeTreeTickOnceThroughThreadEngine(benchmark::State& state) {
  silence_log();
  ThreadEngine engine;
  register_noop(engine);
  const std::string id = engine.create_tree_from_text(hundred_node_tree());
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once(id));
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HundredNodeTreeTickOnceThroughThreadEngine)->UseRealTime();

void BM_HundredNodeTreeTickNTimes1000ThroughThreadEngine(benchmark::State& state) {
  silence_log();
  ThreadEngine engine;
  register_noop(engine);
  const std::string id = engine.create_tree_from_text(hundred_node_tree());
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_n_times(id, 1000));
  state.counters["ticks_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 1000,
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HundredNodeTreeTickNTimes1000ThroughThreadEngine)->UseRealTime();

// Baseline: 100 objects behind a virtual call, the way a hand-written tree would call its
// leaves, with the same work per call as a Noop leaf.
struct Leaf {
  virtual ~Leaf() = default;
  virtual NodeStatus tick() = 0;
};
struct NoopLeaf final : Leaf {
  NodeStatus tick() override {
    g_sink.fetch_add(1, std::memory_order_relaxed);
    return NodeStatus::SUCCESS;
  }
};

void BM_BaselineHundredVirtualCalls(benchmark::State& state) {
  std::vector<std::unique_ptr<Leaf>> leaves;
  for (int i = 0; i < 100; ++i) leaves.push_back(std::make_unique<NoopLeaf>());
  for (auto _ : state) {
    NodeStatus status = NodeStatus::SUCCESS;
    for (auto& leaf : leaves) {
      status = leaf->tick();
      if (status != NodeStatus::SUCCESS) break;
    }
    benchmark::DoNotOptimize(status);
  }
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BaselineHundredVirtualCalls);

// Baseline: a sequence of 100 std::function calls, the way the tree stores tick functions.
void BM_BaselineHundredStdFunctionCalls(benchmark::State& state) {
  std::vector<std::function<NodeStatus()>> calls(100, [] {
    g_sink.fetch_add(1, std::memory_order_relaxed);
    return NodeStatus::SUCCESS;
  });
  for (auto _ : state) {
    NodeStatus status = NodeStatus::SUCCESS;
    for (auto& call : calls) {
      status = call();
      if (status != NodeStatus::SUCCESS) break;
    }
    benchmark::DoNotOptimize(status);
  }
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BaselineHundredStdFunctionCalls);

// --- two trees on two cores --------------------------------------------------------------------

// About 50 microseconds of arithmetic: the work of one CPU-bound tick.
std::uint64_t busy_work() {
  std::uint64_t x = 88172645463325252ull;
  for (int i = 0; i < 40000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
  }
  return x;
}

NodeStatus busy_tick(TreeNode&) {
  benchmark::DoNotOptimize(busy_work());
  return NodeStatus::SUCCESS;
}

constexpr int kTicksPerCall = 100;

// Argument: how many trees tick at once, each from its own caller thread.
void BM_BusyTreesInParallel(benchmark::State& state) {
  silence_log();
  const int trees = static_cast<int>(state.range(0));
  ThreadEngine engine;
  engine.register_action_behavior("Busy", &busy_tick, {});
  std::vector<std::string> ids;
  for (int i = 0; i < trees; ++i) {
    ids.push_back(engine.create_tree_from_text(
        R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Busy/></BehaviorTree></root>)"));
    engine.tick_once(ids.back());
  }
  for (auto _ : state) {
    std::vector<std::thread> callers;
    for (const auto& id : ids) {
      callers.emplace_back([&engine, id] { engine.tick_n_times(id, kTicksPerCall); });
    }
    for (auto& t : callers) t.join();
  }
  state.counters["ticks_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * trees * kTicksPerCall, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BusyTreesInParallel)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same work on plain threads, no trees and no channel.
void BM_BaselineBusyPlainThreadsInParallel(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([] {
        for (int i = 0; i < kTicksPerCall; ++i) benchmark::DoNotOptimize(busy_work());
      });
    }
    for (auto& w : workers) w.join();
  }
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * threads * kTicksPerCall,
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BaselineBusyPlainThreadsInParallel)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// --- text ports on two cores ------------------------------------------------------------------

// Text of a host's own string type (as the Python module stores a Python str), taught to the core
// by a hook, so that reading it goes through the hook list like a Python value does.
struct HostText {
  std::string text;
};

void teach_host_text() {
  static const bool done = [] {
    kelmora::core::AnyHooks hooks;
    hooks.as_string = [](const std::any& value) -> std::optional<std::string> {
      if (const auto* host = std::any_cast<HostText>(&value)) return host->text;
      return std::nullopt;
    };
    kelmora::core::add_any_hooks(std::move(hooks));
    return true;
  }();
  (void)done;
}

constexpr int kTextLeaves = 20;
constexpr int kTextTicksPerCall = 2000;
const std::string kPlainText = "a plain C++ string, longer than the small-string buffer";
const std::string kHostText = "a host string, read through the hook list like a Python str";

// Each leaf reads two text ports: one bound to an entry holding a std::string, one to an entry
// holding a host string.
NodeStatus read_text_tick(TreeNode& node) {
  std::size_t size = node.getInputString("plain").size() + node.getInputString("host").size();
  benchmark::DoNotOptimize(size);
  return NodeStatus::SUCCESS;
}

std::string text_port_tree() {
  std::string xml = R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence>)";
  for (int leaf = 0; leaf < kTextLeaves; ++leaf) xml += R"(<ReadText plain="{p}" host="{h}"/>)";
  return xml + "</Sequence></BehaviorTree></root>";
}

std::unique_ptr<kelmora::SequentialEngine> text_port_engine() {
  teach_host_text();
  auto engine = std::make_unique<kelmora::SequentialEngine>();
  engine->register_action_behavior(
      "ReadText", &read_text_tick,
      {kelmora::core::make_port("plain", "string", "input"),
       kelmora::core::make_port("host", "string", "input")});
  engine->create_tree_from_text(text_port_tree());
  engine->set_blackboard_data("p", kPlainText);
  engine->set_blackboard_data("h", HostText{kHostText});
  return engine;
}

// Argument: how many trees tick at once, each ticked in place by its own thread.
void BM_TextPortTreesInParallel(benchmark::State& state) {
  const int trees = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<kelmora::SequentialEngine>> engines;
  for (int i = 0; i < trees; ++i) engines.push_back(text_port_engine());
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (auto& engine : engines) {
      threads.emplace_back([&engine] {
        for (int i = 0; i < kTextTicksPerCall; ++i) benchmark::DoNotOptimize(engine->tick_once());
      });
    }
    for (auto& t : threads) t.join();
  }
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * trees * kTextTicksPerCall,
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TextPortTreesInParallel)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same reads on plain threads: per leaf, two lookups in a string-keyed map of
// values of any kind and a copy of each text.
void BM_BaselineTextReadsPlainThreadsInParallel(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([] {
        std::map<std::string, std::any, std::less<>> entries{{"p", kPlainText},
                                                             {"h", HostText{kHostText}}};
        for (int i = 0; i < kTextTicksPerCall * kTextLeaves; ++i) {
          std::string plain = std::any_cast<const std::string&>(entries.find("p")->second);
          std::string host = std::any_cast<const HostText&>(entries.find("h")->second).text;
          std::size_t size = plain.size() + host.size();
          benchmark::DoNotOptimize(size);
        }
      });
    }
    for (auto& w : workers) w.join();
  }
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * threads * kTextTicksPerCall,
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BaselineTextReadsPlainThreadsInParallel)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
