// Benchmarks of the thread engine, each beside its baseline:
// - a tick_once round trip on a one-node tree, with the engine's default options and with given
//   spin limits, vs. a plain mutex + condition-variable ping-pong between two threads (the floor
//   of a sleep-and-notify channel), vs. two threads busy-spinning on one atomic each (the floor of
//   any channel between two cores) and vs. the tick itself on the caller's thread;
// - 1 and 8 callers, each driving its own tree, vs. 1 and 8 plain ping-pong channels: the
//   aggregate round trips per second (counter "round_trips_per_s");
// - resident memory per idle tree (1,000 trees) vs. per idle plain thread;
// - CPU used by 100 idle trees over one second;
// - create + first tick + stop of 1,000 and of 10,000 trees vs. start + ping + join of as many
//   plain threads.
// Logging goes to a null sink so the numbers are the engine's, not the terminal's.

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.hpp"

namespace {

using kelmora::ThreadEngine;
using kelmora::core::NodeStatus;

const char* const kOneNode =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>)";

using kelmora::bench::silence_log;

kelmora::EngineOptions spinning(std::chrono::nanoseconds spin) {
  kelmora::EngineOptions options;
  options.spin_time = spin;
  return options;
}

// Resident set size of the process, in KiB.
double resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

// User + system CPU time of the process, in microseconds.
double cpu_us() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto us = [](const timeval& tv) { return tv.tv_sec * 1e6 + static_cast<double>(tv.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

// The baseline channel: one request and one response through a mutex and a condition variable,
// served by a plain thread. Also the baseline of a tree's life (start, one ping, join).
class PlainChannel {
 public:
  PlainChannel() : worker_([this] { serve(); }) {}
  ~PlainChannel() { stop(); }
  void round_trip() {
    std::unique_lock lock(mutex_);
    request_ = true;
    cond_.notify_one();
    cond_.wait(lock, [&] { return response_; });
    response_ = false;
  }
  void stop() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cond_.notify_one();
    worker_.join();
  }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cond_.wait(lock, [&] { return request_ || stop_; });
      if (stop_) return;
      request_ = false;
      response_ = true;
      cond_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  bool request_ = false;
  bool response_ = false;
  bool stop_ = false;
  std::thread worker_;
};

// The floor of a channel between two cores: the caller and the worker each spin on an atomic
// until the other has written it, and never sleep.
class BusySpinChannel {
 public:
  BusySpinChannel()
      : worker_([this] {
          for (;;) {
            int request;
            while ((request = request_.load(std::memory_order_acquire)) == 0) {
            }
            if (request < 0) return;
            request_.store(0, std::memory_order_relaxed);
            response_.store(1, std::memory_order_release);
          }
        }) {}
  ~BusySpinChannel() {
    request_.store(-1, std::memory_order_release);
    worker_.join();
  }
  void round_trip() {
    request_.store(1, std::memory_order_release);
    while (response_.load(std::memory_order_acquire) == 0) {
    }
    response_.store(0, std::memory_order_relaxed);
  }

 private:
  alignas(64) std::atomic<int> request_{0};
  alignas(64) std::atomic<int> response_{0};
  std::thread worker_;
};

// --- memory per idle tree (run first, before freed stacks and heap are around to reuse) -------

void BM_ResidentMemoryPer1000IdleTrees(benchmark::State& state) {
  silence_log();
  for (auto _ : state) {
    ThreadEngine engine;
    const double before = resident_kib();
    std::vector<std::string> ids;
    for (int i = 0; i < 1000; ++i) ids.push_back(engine.create_tree_from_text(kOneNode));
    for (const auto& id : ids) engine.tick_once(id);  // every tree is built and idle
    state.counters["KiB_per_tree"] = (resident_kib() - before) / 1000.0;
  }
}
BENCHMARK(BM_ResidentMemoryPer1000IdleTrees)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ResidentMemoryPer1000IdlePlainThreads(benchmark::State& state) {
  for (auto _ : state) {
    const double before = resident_kib();
    std::vector<std::unique_ptr<PlainChannel>> workers;
    for (int i = 0; i < 1000; ++i) workers.push_back(std::make_unique<PlainChannel>());
    for (auto& w : workers) w->round_trip();
    state.counters["KiB_per_thread"] = (resident_kib() - before) / 1000.0;
    for (auto& w : workers) w->stop();
  }
}
BENCHMARK(BM_ResidentMemoryPer1000IdlePlainThreads)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- idle CPU ------------------------------------------------------------------------------

void BM_IdleCpuOf100TreesOverOneSecond(benchmark::State& state) {
  silence_log();
  for (auto _ : state) {
    ThreadEngine engine;  // default options: spinning channel
    std::vector<std::string> ids;
    for (int i = 0; i < 100; ++i) ids.push_back(engine.create_tree_from_text(kOneNode));
    for (const auto& id : ids) engine.tick_once(id);
    const double before = cpu_us();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    state.counters["cpu_us"] = cpu_us() - before;
  }
}
BENCHMARK(BM_IdleCpuOf100TreesOverOneSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- round trip ----------------------------------------------------------------------------

void BM_PlainMutexCondvarPingPong(benchmark::State& state) {
  PlainChannel channel;
  for (auto _ : state) channel.round_trip();
}
BENCHMARK(BM_PlainMutexCondvarPingPong)->UseRealTime();

void BM_BusySpinPingPong(benchmark::State& state) {
  BusySpinChannel channel;
  for (auto _ : state) channel.round_trip();
}
BENCHMARK(BM_BusySpinPingPong)->UseRealTime();

// The engine as a user gets it: default options.
void BM_EngineRoundTripDefault(benchmark::State& state) {
  silence_log();
  ThreadEngine engine;
  const std::string id = engine.create_tree_from_text(kOneNode);
  engine.tick_once(id);  // built
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once(id));
}
BENCHMARK(BM_EngineRoundTripDefault)->UseRealTime();

// Argument: the channel's spin limit in nanoseconds (0 = sleep at once, as the ping-pong does).
void BM_EngineTickOnceRoundTrip(benchmark::State& state) {
  silence_log();
  ThreadEngine engine(spinning(std::chrono::nanoseconds(state.range(0))));
  const std::string id = engine.create_tree_from_text(kOneNode);
  engine.tick_once(id);  // built
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once(id));
}
BENCHMARK(BM_EngineTickOnceRoundTrip)->Arg(0)->Arg(4000)->Arg(20000)->UseRealTime();

void BM_SequentialEngineTickOnceInPlace(benchmark::State& state) {
  kelmora::SequentialEngine engine;
  engine.create_tree_from_text(kOneNode);
  for (auto _ : state) benchmark::DoNotOptimize(engine.tick_once());
}
BENCHMARK(BM_SequentialEngineTickOnceInPlace);

// --- many callers, each on its own tree --------------------------------------------------------

constexpr int kCallsPerCaller = 20000;

// Runs `round_trip(i)` kCallsPerCaller times on each of `callers` threads at once and reports the
// aggregate round trips per second.
template <class RoundTrip>
void drive_in_parallel(benchmark::State& state, int callers, RoundTrip round_trip) {
  for (auto _ : state) {
    std::barrier start(callers + 1);
    std::vector<std::thread> threads;
    for (int c = 0; c < callers; ++c) {
      threads.emplace_back([&, c] {
        start.arrive_and_wait();
        for (int i = 0; i < kCallsPerCaller; ++i) round_trip(c);
      });
    }
    const auto t0 = std::chrono::steady_clock::now();
    start.arrive_and_wait();
    for (auto& t : threads) t.join();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  state.counters["round_trips_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * callers * kCallsPerCaller,
      benchmark::Counter::kIsRate);
}

// Argument: the number of callers, each with its own tree.
void BM_CallersOnTheirOwnTrees(benchmark::State& state) {
  silence_log();
  const int callers = static_cast<int>(state.range(0));
  ThreadEngine engine;
  std::vector<std::string> ids;
  for (int c = 0; c < callers; ++c) ids.push_back(engine.create_tree_from_text(kOneNode));
  for (const auto& id : ids) engine.tick_once(id);
  drive_in_parallel(state, callers, [&](int c) { benchmark::DoNotOptimize(engine.tick_once(ids[c])); });
}
BENCHMARK(BM_CallersOnTheirOwnTrees)->Arg(1)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond);

// Baseline: as many plain ping-pong channels, one caller each.
void BM_CallersOnTheirOwnPlainChannels(benchmark::State& state) {
  const int callers = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<PlainChannel>> channels;
  for (int c = 0; c < callers; ++c) channels.push_back(std::make_unique<PlainChannel>());
  drive_in_parallel(state, callers, [&](int c) { channels[c]->round_trip(); });
}
BENCHMARK(BM_CallersOnTheirOwnPlainChannels)->Arg(1)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond);

// --- tree life -----------------------------------------------------------------------------

// Argument: the number of trees. Counters: the wall time of each phase, averaged over the
// iterations.
void BM_CreateTickStopTrees(benchmark::State& state) {
  silence_log();
  const int count = static_cast<int>(state.range(0));
  using Clock = std::chrono::steady_clock;
  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  double create = 0, tick = 0, stop = 0;
  for (auto _ : state) {
    ThreadEngine engine;
    std::vector<std::string> ids;
    const auto t0 = Clock::now();
    ids.reserve(count);
    for (int i = 0; i < count; ++i) ids.push_back(engine.create_tree_from_text(kOneNode));
    const auto t1 = Clock::now();
    for (const auto& id : ids) {
      if (engine.tick_once(id) != NodeStatus::SUCCESS) state.SkipWithError("wrong status");
    }
    const auto t2 = Clock::now();
    engine.stop_all_trees();
    const auto t3 = Clock::now();
    create += ms(t1 - t0);
    tick += ms(t2 - t1);
    stop += ms(t3 - t2);
  }
  state.counters["create_ms"] = benchmark::Counter(create, benchmark::Counter::kAvgIterations);
  state.counters["first_tick_ms"] = benchmark::Counter(tick, benchmark::Counter::kAvgIterations);
  state.counters["stop_ms"] = benchmark::Counter(stop, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CreateTickStopTrees)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Argument: the number of threads.
void BM_StartPingJoinPlainThreads(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::vector<std::unique_ptr<PlainChannel>> workers;
    workers.reserve(count);
    for (int i = 0; i < count; ++i) workers.push_back(std::make_unique<PlainChannel>());
    for (auto& w : workers) w->round_trip();
    for (auto& w : workers) w->stop();
  }
}
BENCHMARK(BM_StartPingJoinPlainThreads)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
