// Long actions, each beside its baseline in the same run:
// - stop_tree latency of a tree inside tick_until_success whose action is RUNNING (the loop
//   waits between ticks; the stop ends the wait, halts the action on the worker, ends the worker),
//   beside stopping an idle tree: median and p99 over 50 stops (counters median_us, p99_us);
// - CPU time of the process while one tree waits one second on a RUNNING action (default tick
//   period, and woken by nothing), beside an idle tree's second and beside the old busy loop
//   (tick period zero): counter cpu_us;
// - with the agent layer: wall time of two 0.5 s answers from the stand-in under one Parallel
//   (two RunAgent), divided by the wall time of one answer alone (counter ratio; aim <= 1.2).

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/nodes/coroutine_action.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"

#if defined(KELMORA_BENCH_AGENTS)
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/server_address.hpp>

#include "standin/standin_server.hpp"
#endif

namespace {

using kelmora::ThreadEngine;
using kelmora::bench::silence_log;
using kelmora::core::NodeStatus;
using kelmora::engine::trigger::EngineOptions;
using Clock = std::chrono::steady_clock;

const std::string kLongTree =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Long/></BehaviorTree></root>)";

double cpu_us() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto us = [](const timeval& tv) { return tv.tv_sec * 1e6 + static_cast<double>(tv.tv_usec); };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

// "Long": RUNNING until halted; `ticks` counts its ticks.
void install_long(ThreadEngine& engine, std::atomic<int>& ticks) {
  engine.register_action_behavior("Long",
                                  [&ticks](kelmora::core::TreeNode&) {
                                    ++ticks;
                                    return NodeStatus::RUNNING;
                                  },
                                  {});
}

void report_latencies(benchmark::State& state, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

constexpr int kStops = 50;

// --- stop latency ---------------------------------------------------------------------------

void BM_StopTreeInsideTickLoopWithRunningAction(benchmark::State& state) {
  silence_log();
  for (auto _ : state) {
    std::vector<double> latencies;
    ThreadEngine engine;  // default tick period
    std::atomic<int> ticks{0};
    install_long(engine, ticks);
    for (int i = 0; i < kStops; ++i) {
      const std::string id = engine.create_tree_from_text(kLongTree);
      const int before = ticks.load();
      auto loop = std::async(std::launch::async, [&] {
        try {
          engine.tick_until_success(id);
        } catch (const std::exception&) {
          // stopped, as intended
        }
      });
      while (ticks.load() == before) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // now waiting between ticks
      const auto start = Clock::now();
      engine.stop_tree(id);
      latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      loop.get();
    }
    report_latencies(state, std::move(latencies));
  }
}
BENCHMARK(BM_StopTreeInsideTickLoopWithRunningAction)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_StopIdleTree(benchmark::State& state) {
  silence_log();
  for (auto _ : state) {
    std::vector<double> latencies;
    ThreadEngine engine;
    std::atomic<int> ticks{0};
    install_long(engine, ticks);
    for (int i = 0; i < kStops; ++i) {
      const std::string id = engine.create_tree_from_text(
          R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>)");
      engine.tick_once(id);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the worker sleeps
      const auto start = Clock::now();
      engine.stop_tree(id);
      latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report_latencies(state, std::move(latencies));
  }
}
BENCHMARK(BM_StopIdleTree)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- CPU while waiting ----------------------------------------------------------------------

// Arg: the tick period in microseconds (10000: the default; 0: the old busy loop).
void BM_CpuOfATreeWaitingOneSecondOnARunningAction(benchmark::State& state) {
  silence_log();
  for (auto _ : state) {
    ThreadEngine engine(EngineOptions{.tick_period = std::chrono::microseconds(state.range(0))});
    std::atomic<int> ticks{0};
    install_long(engine, ticks);
    const std::string id = engine.create_tree_from_text(kLongTree);
    engine.tick_once(id);
    engine.reset_tree(id);
    const double before = cpu_us();
    auto loop = std::async(std::launch::async, [&] {
      try {
        engine.tick_until_success(id);
      } catch (const std::exception&) {
        // stopped after the second
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    engine.stop_tree(id);
    loop.get();
    state.counters["cpu_us"] = cpu_us() - before;
    state.counters["ticks"] = ticks.load();
  }
}
BENCHMARK(BM_CpuOfATreeWaitingOneSecondOnARunningAction)
    ->Arg(10000)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_CpuOfAnIdleTreeOverOneSecond(benchmark::State& state) {
  silence_log();
  for (auto _ : state) {
    ThreadEngine engine;
    const std::string id = engine.create_tree_from_text(
        R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>)");
    engine.tick_once(id);
    const double before = cpu_us();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    state.counters["cpu_us"] = cpu_us() - before;
  }
}
BENCHMARK(BM_CpuOfAnIdleTreeOverOneSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

#if defined(KELMORA_BENCH_AGENTS)
// --- two answers under Parallel ---------------------------------------------------------------

using kelmora::testing::StandinOptions;
using kelmora::testing::StandinServer;

std::string run_agent(const std::string& n) {
  return "<RunAgent agent=\"{agent}\" user_input=\"question " + n + "\" answer=\"{answer" + n +
         "}\" thinking=\"{thinking" + n + "}\" error=\"{error" + n + "}\"/>";
}

// Seconds one tree takes to stream `body`'s answers from `server`.
double stream_seconds(const StandinServer& server, const std::string& body) {
  kelmora::engine::SequentialEngine engine;
  engine.register_action_behavior("RunAgent", &kelmora::llm::RunAgent::tick,
                                  kelmora::llm::RunAgent::ports);
  engine.create_tree_from_text(R"(<root BTCPP_format="4"><BehaviorTree ID="T">)" + body +
                               "</BehaviorTree></root>");
  kelmora::llm::Ollama::Options model;
  model.id = "m";
  model.server = kelmora::llm::parse_ollama_host(server.address());
  engine.set_blackboard_data("agent",
                             std::make_shared<kelmora::llm::Agent>(kelmora::llm::Agent::Options{
                                 .model = std::make_shared<kelmora::llm::Ollama>(model),
                                 .description = "",
                                 .markdown = false}));
  const auto start = Clock::now();
  engine.tick_until_success();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_TwoHalfSecondAnswersUnderParallelVersusOne(benchmark::State& state) {
  silence_log();
  // An answer of ~N pieces at 500 ms / N each.
  const std::size_t pieces =
      StandinServer::answer_pieces(StandinServer::answer("m", "", "question 1"), 4).size();
  StandinOptions options;
  options.piece_delay_ms = static_cast<unsigned>(500 / pieces);
  StandinServer server(options);
  for (auto _ : state) {
    const double one = stream_seconds(server, run_agent("1"));
    const double two = stream_seconds(server, "<Parallel success_count=\"2\" failure_count=\"1\">" +
                                                  run_agent("1") + run_agent("2") + "</Parallel>");
    state.counters["one_s"] = one;
    state.counters["two_s"] = two;
    state.counters["ratio"] = two / one;
  }
}
BENCHMARK(BM_TwoHalfSecondAnswersUnderParallelVersusOne)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
