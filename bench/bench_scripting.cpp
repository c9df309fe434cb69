// Benchmarks of scripts, each beside a hand-written C++ baseline doing the same work:
// - a typical precondition, `battery > 20 && state == IDLE`, evaluated as a condition (parsed
//   once) against an in-memory environment, vs. a lambda reading the same two values out of a
//   std::map<std::string, std::any> with std::any_cast and comparing them;
// - an update, `count += 1`, vs. a lambda incrementing the std::any in the map;
// - a string build, `label := name .. '-' .. count` (one entry of each kind), vs. the lambda;
// - parsing the precondition (done once per node when a tree is built), for scale.
// The counter "allocs" is the heap allocations per evaluation.

#include <benchmark/benchmark.h>

#include <any>
#include <cstdint>
#include <kelmora/core/scripting.hpp>
#include <map>
#include <string>

#include "../tests/support/allocation_counter.hpp"

namespace {

namespace sc = kelmora::core::scripting;
using kelmora::testing::allocations;

enum class Mode : std::int64_t { idle = 0, busy = 1 };

const sc::EnumRegistry& enums() {
  static const sc::EnumRegistry registry = [] {
    sc::EnumRegistry r;
    r.register_enum<Mode>({{"IDLE", Mode::idle}, {"BUSY", Mode::busy}});
    return r;
  }();
  return registry;
}

void report_allocations(benchmark::State& state, std::size_t before) {
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations() - before),
                                                benchmark::Counter::kAvgIterations);
}

void BM_ScriptPrecondition(benchmark::State& state) {
  const auto script = sc::Script::parse("battery > 20 && state == IDLE");
  sc::MemoryEnvironment env;
  env.set_enums(&enums());
  env.set("battery", std::int64_t{57});
  env.set("state", std::int64_t{0});
  const auto before = allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(script.evaluate_condition(env));
  }
  report_allocations(state, before);
}
BENCHMARK(BM_ScriptPrecondition);

void BM_BaselineLambdaPrecondition(benchmark::State& state) {
  std::map<std::string, std::any, std::less<>> entries;
  entries["battery"] = std::int64_t{57};
  entries["state"] = std::int64_t{0};
  const auto idle = static_cast<std::int64_t>(Mode::idle);
  const auto precondition = [&entries, idle] {
    const auto battery = entries.find(std::string_view("battery"));
    const auto mode = entries.find(std::string_view("state"));
    if (battery == entries.end() || mode == entries.end()) return false;
    return std::any_cast<std::int64_t>(battery->second) > 20 &&
           std::any_cast<std::int64_t>(mode->second) == idle;
  };
  const auto before = allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(precondition());
  }
  report_allocations(state, before);
}
BENCHMARK(BM_BaselineLambdaPrecondition);

void BM_ScriptIncrement(benchmark::State& state) {
  const auto script = sc::Script::parse("count += 1");
  sc::MemoryEnvironment env;
  env.set("count", std::int64_t{0});
  const auto before = allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(script.evaluate(env));
  }
  report_allocations(state, before);
}
BENCHMARK(BM_ScriptIncrement);

void BM_BaselineLambdaIncrement(benchmark::State& state) {
  std::map<std::string, std::any, std::less<>> entries;
  entries["count"] = std::int64_t{0};
  const auto increment = [&entries] {
    const auto count = entries.find(std::string_view("count"));
    if (count == entries.end()) return std::int64_t{-1};
    return ++std::any_cast<std::int64_t&>(count->second);
  };
  const auto before = allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(increment());
  }
  report_allocations(state, before);
}
BENCHMARK(BM_BaselineLambdaIncrement);

void BM_ScriptStringBuild(benchmark::State& state) {
  const auto script = sc::Script::parse("label := name .. '-' .. count");
  sc::MemoryEnvironment env;
  env.set("name", std::string("gripper"));
  env.set("count", std::int64_t{42});
  const auto before = allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(script.evaluate(env));
  }
  report_allocations(state, before);
}
BENCHMARK(BM_ScriptStringBuild);

void BM_BaselineLambdaStringBuild(benchmark::State& state) {
  std::map<std::string, std::any, std::less<>> entries;
  entries["name"] = std::string("gripper");
  entries["count"] = std::int64_t{42};
  entries["label"] = std::string();
  const auto build = [&entries] {
    const auto& name = std::any_cast<const std::string&>(entries.find("name")->second);
    const auto count = std::any_cast<std::int64_t>(entries.find("count")->second);
    auto& label = std::any_cast<std::string&>(entries.find("label")->second);
    label = name + "-" + std::to_string(count);
    return label.size();
  };
  const auto before = allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(build());
  }
  report_allocations(state, before);
}
BENCHMARK(BM_BaselineLambdaStringBuild);

void BM_ScriptParsePrecondition(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(sc::Script::parse("battery > 20 && state == IDLE"));
  }
}
BENCHMARK(BM_ScriptParsePrecondition);

}  // namespace

int main(int argc, char** argv) {
  kelmora::testing::count_allocations(true);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
