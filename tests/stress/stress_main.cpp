// kelmora_stress: several threads doing random create / command / stop / destroy on shared
// engines for a set time, in rounds.
//
//   kelmora_stress [--seconds N] [--threads N] [--engines N] [--round-seconds X] [--seed N]
//
// Every operation's result is checked as it returns (stress_world.cpp). After every round all
// engines are gone, and then no thread started after the warm-up rounds may still be alive (the
// entries of /proc/self/task), and the resident set (/proc/self/statm) must not grow
// from round to round beyond a tolerance once warmed up. A watchdog aborts a round that hangs.
// Exit status 0 when every check held, 1 otherwise.

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <kelmora/log.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process_stats.hpp"
#include "stress_world.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kelmora::stress::EnginePool;
using kelmora::stress::StressCounters;
using kelmora::stress::StressWorker;

struct Options {
  double seconds = 10;
  int threads = 4;
  int engines = 2;
  double round_seconds = 1;
  std::uint64_t seed = 20240601;
  int warmup_rounds = 2;  // rounds before the thread and memory baselines are taken
  // Memory may exceed the baseline by this fraction plus this many MiB (allocator caches and
  // arenas settle over a few rounds; a leak grows without end).
  double memory_tolerance = 0.10;
  double memory_slack_mib = 16;
};

#ifdef KELMORA_STRESS_SANITIZED
// The sanitizers' own allocators keep freed memory in quarantine and shadow memory grows with it;
// their leak and race reports do the job the memory check does in the plain build.
constexpr bool kCheckMemory = false;
#else
constexpr bool kCheckMemory = true;
#endif

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "kelmora_stress: %s\nusage: kelmora_stress [--seconds N] [--threads N] "
               "[--engines N] [--round-seconds X] [--seed N]\n",
               problem);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) usage(("missing value after " + flag).c_str());
    const char* value = argv[++i];
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    if (end == value || *end != '\0' || number <= 0) usage(("bad value for " + flag).c_str());
    if (flag == "--seconds") {
      options.seconds = number;
    } else if (flag == "--threads") {
      options.threads = static_cast<int>(number);
    } else if (flag == "--engines") {
      options.engines = static_cast<int>(number);
    } else if (flag == "--round-seconds") {
      options.round_seconds = number;
    } else if (flag == "--seed") {
      options.seed = static_cast<std::uint64_t>(number);
    } else {
      usage(("unknown option " + flag).c_str());
    }
  }
  options.round_seconds = std::min(options.round_seconds, options.seconds);
  return options;
}

// Aborts the program when a round runs far past its time: a deadlock shows as a crash with the
// round named rather than as a silent hang.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds grace) : grace_(grace), thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  void round_started(int round, Clock::time_point planned_end) {
    std::lock_guard lock(mutex_);
    round_ = round;
    deadline_ = planned_end + grace_;
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (!done_) {
      changed_.wait_for(lock, std::chrono::seconds(1));
      if (!done_ && round_ > 0 && Clock::now() > deadline_) {
        std::fprintf(stderr, "stress: FAIL: round %d has not ended %lld s after its time; abort\n",
                     round_, static_cast<long long>(grace_.count()));
        std::abort();
      }
    }
  }

  const std::chrono::seconds grace_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  int round_ = 0;
  Clock::time_point deadline_{};
  std::thread thread_;  // last: starts once the rest is ready
};

// Runs one round: the threads work on a fresh pool until the round's time is up; then every
// engine is dropped.
void run_round(const Options& options, int round, StressCounters& counters) {
  EnginePool pool(options.engines);
  std::atomic<bool> keep_going{true};
  std::vector<std::thread> threads;
  for (int i = 0; i < options.threads; ++i) {
    threads.emplace_back([&, i] {
      StressWorker worker(i, options.seed * 1000003u + static_cast<std::uint64_t>(round) * 101u + i,
                          pool, counters);
      worker.run(keep_going);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(options.round_seconds));
  keep_going = false;
  for (auto& t : threads) t.join();
  pool.clear();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  kelmora::log::set_logger(
      std::make_shared<spdlog::logger>("stress", std::make_shared<spdlog::sinks::null_sink_mt>()));
  std::printf("kelmora_stress: %.0f s, %d threads, %d engines, rounds of %.2f s, seed %llu\n",
              options.seconds, options.threads, options.engines, options.round_seconds,
              static_cast<unsigned long long>(options.seed));

  StressCounters counters;
  Watchdog watchdog(std::chrono::seconds(120));
  const int rounds = std::max(options.warmup_rounds + 1,
                              static_cast<int>(options.seconds / options.round_seconds + 0.5));
  std::optional<kelmora::testing::ThreadBaseline> thread_baseline;  // taken after warm-up
  double memory_baseline = 0;
  double memory_peak = 0;
  for (int round = 1; round <= rounds; ++round) {
    const auto start = Clock::now();
    watchdog.round_started(round,
                           start + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options.round_seconds)));
    const std::uint64_t ops_before = counters.operations;
    run_round(options, round, counters);

    const bool warm = round > options.warmup_rounds;
    if (round == options.warmup_rounds) thread_baseline.emplace();
    // Threads started after warm-up that outlive their round; ten seconds is far more than a
    // joined thread's /proc entry ever lingers.
    const std::vector<std::string> left =
        warm ? thread_baseline->surviving_new_threads(std::chrono::seconds(10))
             : std::vector<std::string>{};
    const double memory = kelmora::testing::resident_kib() / 1024.0;
    if (round == options.warmup_rounds) memory_baseline = memory;
    memory_peak = std::max(memory_peak, memory);
    std::printf("round %3d: %7llu operations, %2zu threads left, resident %.1f MiB\n", round,
                static_cast<unsigned long long>(counters.operations - ops_before), left.size(),
                memory);
    std::fflush(stdout);
    if (!left.empty()) {
      std::string names;
      for (const auto& thread : left) names += " " + thread;
      kelmora::stress::report_failure(
          counters, "round " + std::to_string(round) + ": " + std::to_string(left.size()) +
                        " threads started after warm-up outlived the round (" + names.substr(1) +
                        "): a thread leaked");
    }
    const double allowed =
        memory_baseline * (1 + options.memory_tolerance) + options.memory_slack_mib;
    if (warm && kCheckMemory && memory > allowed) {
      kelmora::stress::report_failure(
          counters, "round " + std::to_string(round) + ": resident " + std::to_string(memory) +
                        " MiB, more than the " + std::to_string(allowed) +
                        " MiB allowed after warm-up: memory grows");
    }
  }

  std::printf(
      "kelmora_stress: %d rounds, %llu operations, %llu trees created, %llu engines replaced, "
      "resident %.1f MiB after warm-up, peak %.1f MiB%s; %llu failures\n",
      rounds, static_cast<unsigned long long>(counters.operations.load()),
      static_cast<unsigned long long>(counters.trees_created.load()),
      static_cast<unsigned long long>(counters.engines_replaced.load()), memory_baseline,
      memory_peak, kCheckMemory ? "" : " (not checked under sanitizers)",
      static_cast<unsigned long long>(counters.failures.load()));
  return counters.failures == 0 ? 0 : 1;
}
