// The cost of watching trees: the 100-node tree ticked through the thread engine with the SQLite
// recorder on, beside the same tree without it (the baseline), in the same run; also with one
// observer that only counts transitions, and ticked in place with transitions recorded, beside
// the same without.
//
// Each tick of the 100-node tree makes about 200 transitions (every node goes to its result and
// back to IDLE), so the recorder writes about 200 rows per tick on its writer thread.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <string>

#include "bench_support.hpp"

namespace {

using kelmora::ThreadEngine;
using kelmora::core::NodeStatus;
using kelmora::core::TreeNode;

using kelmora::bench::g_sink;
using kelmora::bench::hundred_node_tree;
using kelmora::bench::noop_tick;

std::string database_path() {
  return (std::filesystem::temp_directory_path() /
          ("kelmora-bench-" + std::to_string(::getpid()) + ".db"))
      .string();
}

void remove_database(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

enum class Watch { kNone, kCounter, kRecorder };

void tick_n_times_through_engine(benchmark::State& state, Watch watch) {
  kelmora::bench::silence_log();
  const std::string path = database_path();
  remove_database(path);
  std::atomic<std::uint64_t> transitions{0};
  {
    ThreadEngine engine;
    engine.register_action_behavior("Noop", &noop_tick, {});
    const std::string id = engine.create_tree_from_text(hundred_node_tree());
    if (watch == Watch::kRecorder) engine.start_recording(path);
    if (watch == Watch::kCounter) {
      engine.add_transition_observer(
          [&transitions](const auto&) { transitions.fetch_add(1, std::memory_order_relaxed); });
    }
    for (auto _ : state) benchmark::DoNotOptimize(engine.tick_n_times(id, 1000));
    state.counters["ticks_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 1000, benchmark::Counter::kIsRate);
    engine.stop_recording();  // the writer's backlog is not part of the measurement
  }
  remove_database(path);
}

// Baseline.
void BM_HundredNodeTreeTickNTimes1000(benchmark::State& state) {
  tick_n_times_through_engine(state, Watch::kNone);
}
BENCHMARK(BM_HundredNodeTreeTickNTimes1000)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_HundredNodeTreeTickNTimes1000Recorded(benchmark::State& state) {
  tick_n_times_through_engine(state, Watch::kRecorder);
}
BENCHMARK(BM_HundredNodeTreeTickNTimes1000Recorded)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_HundredNodeTreeTickNTimes1000CountingObserver(benchmark::State& state) {
  tick_n_times_through_engine(state, Watch::kCounter);
}
BENCHMARK(BM_HundredNodeTreeTickNTimes1000CountingObserver)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void tick_once_through_engine(benchmark::State& state, bool recorded) {
  kelmora::bench::silence_log();
  const std::string path = database_path();
  remove_database(path);
  {
    ThreadEngine engine;
    engine.register_action_behavior("Noop", &noop_tick, {});
    const std::string id = engine.create_tree_from_text(hundred_node_tree());
    if (recorded) engine.start_recording(path);
    for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once(id));
    state.counters["ticks_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    engine.stop_recording();
  }
  remove_database(path);
}

// Baseline: one command per tick.
void BM_HundredNodeTreeTickOnce(benchmark::State& state) { tick_once_through_engine(state, false); }
BENCHMARK(BM_HundredNodeTreeTickOnce)->UseRealTime();

void BM_HundredNodeTreeTickOnceRecorded(benchmark::State& state) {
  tick_once_through_engine(state, true);
}
BENCHMARK(BM_HundredNodeTreeTickOnceRecorded)->UseRealTime();

// In place (SequentialEngine), baseline: nobody records, each change costs a comparison and
// two stores.
void BM_HundredNodeTreeInPlace(benchmark::State& state) {
  kelmora::SequentialEngine engine;
  engine.register_action_behavior("Noop", &noop_tick, {});
  engine.create_tree_from_text(hundred_node_tree());
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once());
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HundredNodeTreeInPlace);

// In place with every transition logged (timestamped and appended), then dropped after the tick.
void BM_HundredNodeTreeInPlaceLogged(benchmark::State& state) {
  kelmora::SequentialEngine engine;
  engine.register_action_behavior("Noop", &noop_tick, {});
  engine.set_step_hook([](kelmora::core::Tree& tree, kelmora::SequentialEngine::StepPoint) {
    tree.transitionLog().set_recording(true);
    tree.transitionLog().clear();
  });
  engine.create_tree_from_text(hundred_node_tree());
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once());
  state.counters["ticks_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HundredNodeTreeInPlaceLogged);

}  // namespace

BENCHMARK_MAIN();
