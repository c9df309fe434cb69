// Churn: trees created and stopped by the ten thousand, and a thousand trees alive at once
// ticked from eight threads. Nothing may be lost, no thread may outlive its tree, and memory
// must not grow with the number of cycles.

#include <gtest/gtest.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stress/count_action.hpp"
#include "stress/process_stats.hpp"

namespace kelmora {
namespace {

using core::NodeStatus;
using testing::resident_kib;
using testing::ThreadBaseline;

// ThreadSanitizer builds run a tenth of the cycles (the full counts take minutes there).
#ifdef KELMORA_CHURN_REDUCED
constexpr int kScale = 10;
#else
constexpr int kScale = 1;
#endif
// Sanitizers' allocators keep freed memory in quarantine: memory is only checked without them.
#ifdef KELMORA_CHURN_SANITIZED
constexpr bool kCheckMemory = false;
#else
constexpr bool kCheckMemory = true;
#endif
constexpr int kCycles = 10'000 / kScale;
constexpr int kAliveTrees = 1'000 / kScale;

const char* const kOneNode =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>)";
const char* const kCounting =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T">)"
    R"(<Count count_in="{count}" count_out="{count}"/></BehaviorTree></root>)";

// Sends the engine's log lines nowhere while alive (ten thousand trees log twenty thousand).
class QuietLog {
 public:
  QuietLog() {
    log::set_logger(
        std::make_shared<spdlog::logger>("churn", std::make_shared<spdlog::sinks::null_sink_mt>()));
  }
  ~QuietLog() { log::set_logger(nullptr); }
};

TEST(ChurnTest, TenThousandCreateStopCyclesLeaveNoThreadAndNoGrowingMemory) {
  QuietLog quiet;
  ThreadEngine engine;
  const ThreadBaseline thread_baseline;
  double warm_kib = 0;
  for (int i = 0; i < kCycles; ++i) {
    // The id counts the trees present, so with one tree at a time it is always tree_0.
    ASSERT_EQ(engine.create_tree_from_text(kOneNode), "tree_0") << "cycle " << i;
    if (i % 7 == 0) {
      ASSERT_EQ(engine.tick_once("tree_0"), NodeStatus::SUCCESS);
    }
    engine.stop_tree("tree_0");
    if (i == kCycles / 10) warm_kib = resident_kib();
  }
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
  if (kCheckMemory) {
    // After a tenth of the cycles the allocator has settled; the other nine tenths must not add
    // more than a little (a leak of 1 KiB per tree would add about 9 MiB).
    EXPECT_LT(resident_kib(), warm_kib + 4096) << "memory grew with the cycles";
  }
}

TEST(ChurnTest, CreateTickStopCyclesFromFourThreadsOnOneEngine) {
  QuietLog quiet;
  ThreadEngine engine;
  const ThreadBaseline thread_baseline;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCycles / 4; ++i) {
        const std::string id = "c" + std::to_string(t) + "_" + std::to_string(i);
        if (engine.create_tree_from_text(kOneNode, id) != id) ++wrong;
        if (engine.tick_once(id) != NodeStatus::SUCCESS) ++wrong;
        engine.stop_tree(id);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
}

TEST(ChurnTest, ThousandTreesAliveAtOnceTickedFromEightThreadsLoseNoTick) {
  QuietLog quiet;
  constexpr int kThreads = 8;
  constexpr int kRounds = 3;
  ThreadEngine engine;
  testing::register_count_action(engine);
  const ThreadBaseline thread_baseline;
  std::vector<std::string> ids;
  for (int i = 0; i < kAliveTrees; ++i) ids.push_back(engine.create_tree_from_text(kCounting));
  EXPECT_EQ(thread_baseline.new_threads().size(), static_cast<std::size_t>(kAliveTrees));

  // Every thread ticks every tree, each in its own order, so every tree has callers from several
  // threads at once.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> order = ids;
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (int round = 0; round < kRounds; ++round) {
        for (const auto& id : order) {
          if (engine.tick_once(id) != NodeStatus::SUCCESS) ++wrong;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);

  int miscounted = 0;
  for (const auto& id : ids) {
    const std::any count = engine.get_blackboard_data(id, "count");
    const auto* n = std::any_cast<std::int64_t>(&count);
    if (n == nullptr || *n != kThreads * kRounds) ++miscounted;
  }
  EXPECT_EQ(miscounted, 0) << "trees whose tick count is not " << kThreads * kRounds;

  engine.stop_all_trees();
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kelmora
