// The thread engine used from several threads at once. Also run under ThreadSanitizer.

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <fstream>
#include <future>
#include <iterator>
#include <kelmora/engine/trigger/mthread.hpp>
#include <thread>

#include "engine/trigger/host_protocol.hpp"
#include "stress/process_stats.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using core::TreeNode;
using engine::trigger::EngineOptions;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;

// Whether the thread `tid` of this process sleeps (is blocked in the kernel); false once it ended.
bool thread_sleeps(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

// Captures the stop token of the tick in progress, so a test can see a stop being requested.
class TokenProbe {
 public:
  void take(const TreeNode& node) {
    std::lock_guard lock(mutex_);
    token_ = stop_token_of(node);
  }
  bool stop_requested() const {
    std::lock_guard lock(mutex_);
    return token_.stop_requested();
  }

 private:
  mutable std::mutex mutex_;
  std::stop_token token_;
};

// A blackboard value that raises its flag when the last copy goes: when the worker holding it has
// dropped its tree.
struct Sentinel {
  explicit Sentinel(std::atomic<bool>& flag) : gone(flag) {}
  ~Sentinel() { gone = true; }
  std::atomic<bool>& gone;
};

std::vector<std::string> numbered_ids(int count) {
  std::vector<std::string> ids;
  for (int i = 0; i < count; ++i) ids.push_back("t" + std::to_string(i));
  return ids;
}

class ConcurrencyTest : public ::testing::TestWithParam<bool> {
 protected:
  // The channel spins before it sleeps, or sleeps at once.
  EngineOptions options() const {
    EngineOptions o;
    if (!GetParam()) o.spin_time = std::chrono::nanoseconds::zero();
    return o;
  }
  std::unique_ptr<ThreadEngine> make_engine() {
    auto engine = std::make_unique<ThreadEngine>(options());
    script.install(*engine);
    return engine;
  }

  ThreadBaseline baseline;  // before any engine of the test starts a thread
  Script script;
  LogCapture log;
};

TEST_P(ConcurrencyTest, TwoTreesTickInParallelAndEachCallerGetsItsOwnResult) {
  std::barrier both(2);  // only passes when both ticks run at the same time
  script.on_tick = [&both](TreeNode& node) {
    both.arrive_and_wait();
    return node.name() == "A" ? NodeStatus::SUCCESS : NodeStatus::FAILURE;
  };
  auto engine = make_engine();
  engine->create_tree_from_text(act_tree("A"), "a");
  engine->create_tree_from_text(act_tree("B"), "b");
  for (int round = 0; round < 20; ++round) {
    NodeStatus a{}, b{};
    std::thread ta([&] { a = engine->tick_once("a"); });
    std::thread tb([&] { b = engine->tick_once("b"); });
    ta.join();
    tb.join();
    ASSERT_EQ(a, NodeStatus::SUCCESS);
    ASSERT_EQ(b, NodeStatus::FAILURE);
  }
}

TEST_P(ConcurrencyTest, EightThreadsOfMixedCommandsOnOneTreeEachGetTheirOwnResults) {
  constexpr int kThreads = 8;
  constexpr int kCommands = 1000;
  auto engine = make_engine();
  engine->create_tree_from_text(act_tree("T"), "t");
  std::atomic<int> wrong{0};
  std::atomic<std::size_t> ticks{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string key = "key" + std::to_string(t);
      for (int i = 0; i < kCommands; ++i) {
        switch (i % 4) {
          case 0:
            engine->set_blackboard_data("t", key, t * 100000 + i);
            break;
          case 1: {
            std::any v = engine->get_blackboard_data("t", key);
            if (std::any_cast<int>(v) != t * 100000 + i - 1) ++wrong;
            break;
          }
          case 2: {
            const auto n = static_cast<std::int64_t>((t + i) % 7);
            if (engine->tick_n_times("t", n).size() != static_cast<std::size_t>(n)) ++wrong;
            ticks += static_cast<std::size_t>(n);
            break;
          }
          default:
            if (engine->tick_once("t") != NodeStatus::SUCCESS) ++wrong;
            ++ticks;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(engine->get_all_blackboard_data("t").size(), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(script.journal().size(), ticks.load()) << "no tick lost or doubled";
}

TEST_P(ConcurrencyTest, CreateCommandStopChurnFromSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 60;
  auto engine = make_engine();
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        // Own ids always work; shared ids race with the other threads.
        const std::string own = "own" + std::to_string(t) + "-" + std::to_string(i);
        const std::string shared = "shared" + std::to_string(i % 3);
        for (const std::string& id : {own, shared}) {
          try {
            engine->create_tree_from_text(act_tree("X"), id);
          } catch (const ValueError&) {
            if (id == own) ++unexpected;
          }
          try {
            engine->set_blackboard_data(id, "k", i);
            engine->tick_once(id);
          } catch (const ValueError&) {
            if (id == own) ++unexpected;
          }
          try {
            engine->stop_tree(id);
          } catch (const ValueError&) {
            if (id == own) ++unexpected;
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(unexpected, 0);
  EXPECT_TRUE(engine->get_tree_ids().empty());
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{}) << "every worker ended";
  for (const auto& text : log.texts("error")) {
    EXPECT_TRUE(text.starts_with("行为树ID shared")) << text;
  }
}

TEST_P(ConcurrencyTest, StopDuringALongTickWaitsForItAndItsCallerGetsTheResult) {
  Gate entered, release;
  TokenProbe probe;
  script.on_tick = [&](TreeNode& node) {
    probe.take(node);
    entered.open();
    release.wait();  // ignores the stop request: a tick that cannot be cut short
    return NodeStatus::RUNNING;
  };
  auto engine = make_engine();
  engine->create_tree_from_text(act_tree("T"), "t");
  std::optional<NodeStatus> result;
  std::thread caller([&] { result = engine->tick_once("t"); });
  entered.wait();
  std::thread stopper([&] { engine->stop_tree("t"); });
  eventually([&] { return probe.stop_requested(); });
  release.open();
  caller.join();
  stopper.join();
  EXPECT_EQ(result, NodeStatus::RUNNING);
  EXPECT_TRUE(engine->get_tree_ids().empty());
  EXPECT_EQ(log.count("info", "停止行为树: t"), 1u);
}

TEST_P(ConcurrencyTest, StopEndsAnEndlessTickLoopAndItsCallerGetsTheError) {
  Gate entered;
  script.on_tick = [&](TreeNode&) {
    entered.open();
    return NodeStatus::SUCCESS;  // never fails: the loop runs until it is stopped
  };
  auto engine = make_engine();
  engine->create_tree_from_text(act_tree("T"), "t");
  log.clear();
  std::string error;
  Errc code{};
  std::thread caller([&] {
    try {
      engine->tick_until_failure("t");
    } catch (const Error& e) {
      error = e.what();
      code = e.code();
    }
  });
  entered.wait();
  engine->stop_tree("t");
  caller.join();
  const std::string worker_line =
      "处理命令 tick_until_failure 时发生错误: tree was stopped while ticking";
  const std::string caller_line = "行为树 t 执行命令 tick_until_failure 失败: " + worker_line;
  EXPECT_EQ(error, caller_line);
  EXPECT_EQ(code, Errc::command_failed);
  // The caller writes both error lines once it has left the tree, so the stop's line may come
  // before, between or after them.
  auto lines = log.lines();
  const LogLine stop_line{"info", "停止行为树: t"};
  EXPECT_EQ(std::count(lines.begin(), lines.end(), stop_line), 1);
  lines.erase(std::remove(lines.begin(), lines.end(), stop_line), lines.end());
  EXPECT_EQ(lines, (std::vector<LogLine>{{"error", worker_line}, {"error", caller_line}}));
}

TEST_P(ConcurrencyTest, CallerQueuedOnAStoppingTreeGetsItsResultOrFindsTheTreeGone) {
  for (int round = 0; round < 20; ++round) {
    Gate entered;
    script.on_tick = [&](TreeNode& node) {
      entered.open();
      wait_for_stop(node);
      return NodeStatus::SUCCESS;
    };
    auto engine = make_engine();
    engine->create_tree_from_text(act_tree("T"), "t");
    std::string busy_outcome;
    std::thread busy([&] { busy_outcome = error_of([&] { engine->tick_until_success("t"); }); });
    entered.wait();
    std::string queued;
    std::thread late([&] { queued = error_of([&] { engine->get_tree_status("t"); }); });
    engine->stop_tree("t");
    busy.join();
    late.join();
    EXPECT_EQ(busy_outcome, "(no error)") << "the command in progress gets its result";
    EXPECT_TRUE(queued == "(no error)" || queued == "行为树ID t 不存在") << queued;
  }
}

TEST_P(ConcurrencyTest, EngineDestroyedWhileCallersWaitLetsEveryCallerReturn) {
  constexpr int kTrees = 4;
  std::vector<std::unique_ptr<Gate>> entered;
  for (int i = 0; i < kTrees; ++i) entered.push_back(std::make_unique<Gate>());
  // Trees 0 and 2: a tick that waits for the stop; trees 1 and 3: an endless tick loop.
  script.on_tick = [&](TreeNode& node) {
    const int i = std::stoi(node.name());
    entered[static_cast<std::size_t>(i)]->open();
    if (i % 2 == 0) wait_for_stop(node);
    return NodeStatus::SUCCESS;
  };
  auto engine = make_engine();
  std::vector<std::string> outcomes(kTrees);
  std::vector<std::thread> callers;
  ThreadEngine& raw = *engine;
  for (int i = 0; i < kTrees; ++i) {
    const std::string id = raw.create_tree_from_text(act_tree(std::to_string(i)));
    callers.emplace_back([&, i, id] {
      outcomes[static_cast<std::size_t>(i)] = error_of([&] {
        if (i % 2) {
          raw.tick_until_failure(id);
        } else {
          raw.tick_once(id);
        }
      });
    });
  }
  for (auto& gate : entered) gate->wait();  // every caller is waiting inside a command
  engine.reset();
  for (auto& c : callers) c.join();
  for (int i = 0; i < kTrees; ++i) {
    const std::string id = "tree_" + std::to_string(i);
    EXPECT_EQ(outcomes[static_cast<std::size_t>(i)],
              i % 2 ? "行为树 " + id +
                          " 执行命令 tick_until_failure 失败: 处理命令 tick_until_failure "
                          "时发生错误: tree was stopped while ticking"
                    : "(no error)");
  }
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
  EXPECT_EQ(log.count("info", "停止所有行为树"), 1u);
}

TEST_P(ConcurrencyTest, TwoStopsOfOneTreeStopItOnce) {
  for (int round = 0; round < 30; ++round) {
    log.clear();
    auto engine = make_engine();
    engine->create_tree_from_text(act_tree("T"), "t");
    std::barrier start(2);
    std::array<std::string, 2> outcomes;
    auto stop = [&](int k) {
      start.arrive_and_wait();
      outcomes[static_cast<std::size_t>(k)] = error_of([&] { engine->stop_tree("t"); });
    };
    std::thread s0(stop, 0), s1(stop, 1);
    s0.join();
    s1.join();
    std::sort(outcomes.begin(), outcomes.end());
    ASSERT_EQ(outcomes, (std::array<std::string, 2>{"(no error)", "行为树ID t 不存在"}));
    EXPECT_EQ(log.count("info", "停止行为树: t"), 1u);
    EXPECT_EQ(log.count("error", "行为树ID t 不存在"), 1u);
  }
}

TEST_P(ConcurrencyTest, ConcurrentCreationsOfOneIdLetExactlyOneWin) {
  auto engine = make_engine();
  for (int round = 0; round < 20; ++round) {
    constexpr int kThreads = 4;
    std::barrier start(kThreads);
    std::atomic<int> won{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        try {
          engine->create_tree_from_text(act_tree("X" + std::to_string(t)), "same");
          ++won;
        } catch (const ValueError& e) {
          if (std::string(e.what()) == "行为树ID same 已存在") ++refused;
        }
      });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(won, 1);
    ASSERT_EQ(refused, kThreads - 1);
    EXPECT_EQ(engine->trees().size(), 1u);
    engine->stop_tree("same");
  }
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{}) << "no loser started a worker";
}

TEST_P(ConcurrencyTest, GeneratedIdsFromSeveralThreadsNeverCollide) {
  auto engine = make_engine();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) engine->create_tree_from_text(act_tree("X"));
      engine->register_action_behavior("Late", nullptr, {});
    });
  }
  for (auto& th : threads) th.join();
  Strings ids = engine->get_tree_ids();
  ASSERT_EQ(ids.size(), 100u);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
  EXPECT_EQ(engine->action_registrations().size(), 5u);  // Act, and Late from each thread
}

TEST_P(ConcurrencyTest, StopAllCountsATreeStoppedMeanwhileAsStoppedAndStopsAllOthers) {
  // stop_all_trees waits for t0's tick while another thread stops t10.
  constexpr int kTrees = 20;
  Gate entered, release;
  TokenProbe probe;
  script.on_tick = [&](TreeNode& node) {
    probe.take(node);
    entered.open();
    release.wait();
    return NodeStatus::SUCCESS;
  };
  auto engine = make_engine();
  for (const auto& id : numbered_ids(kTrees)) engine->create_tree_from_text(act_tree(id), id);
  auto busy = std::async(std::launch::async, [&] { return engine->tick_once("t0"); });
  entered.wait();
  log.clear();
  auto stop_all =
      std::async(std::launch::async, [&] { return error_of([&] { engine->stop_all_trees(); }); });
  eventually([&] { return probe.stop_requested(); });  // it has begun with t0
  engine->stop_tree("t10");
  release.open();
  EXPECT_EQ(busy.get(), NodeStatus::SUCCESS);
  EXPECT_EQ(stop_all.get(), "(no error)");
  EXPECT_TRUE(engine->get_tree_ids().empty());
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{}) << "every worker ended";
  for (const auto& id : numbered_ids(kTrees)) EXPECT_EQ(log.count("info", "停止行为树: " + id), 1u);
  EXPECT_EQ(log.count("info", "停止所有行为树"), 1u);
  EXPECT_TRUE(log.texts("error").empty());
}

TEST_P(ConcurrencyTest, StopAllWaitsForATreeAnotherThreadIsStopping) {
  constexpr int kTrees = 20;
  Gate entered, release;
  TokenProbe probe;
  script.on_tick = [&](TreeNode& node) {
    probe.take(node);
    entered.open();
    release.wait();  // ignores the stop: the other thread's stop of t5 waits for it
    return NodeStatus::SUCCESS;
  };
  auto engine = make_engine();
  for (const auto& id : numbered_ids(kTrees)) engine->create_tree_from_text(act_tree(id), id);
  auto busy = std::async(std::launch::async, [&] { return engine->tick_once("t5"); });
  entered.wait();
  log.clear();
  auto stopper = std::async(std::launch::async, [&] { engine->stop_tree("t5"); });
  eventually([&] { return probe.stop_requested(); });
  auto stop_all =
      std::async(std::launch::async, [&] { return error_of([&] { engine->stop_all_trees(); }); });
  eventually([&] { return log.count("info", "停止行为树: t4") == 1; });  // stop_all is at t5
  release.open();
  EXPECT_EQ(busy.get(), NodeStatus::SUCCESS);
  stopper.get();
  EXPECT_EQ(stop_all.get(), "(no error)");
  const auto texts = log.texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "停止所有行为树") << "after every tree, t5 included, was stopped";
  EXPECT_EQ(log.count("info", "停止行为树: t5"), 1u);
  EXPECT_TRUE(engine->get_tree_ids().empty());
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
}

TEST_P(ConcurrencyTest, StopAllRacingAStopOfOneTreeStopsEveryTree) {
  constexpr int kTrees = 20;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    log.clear();
    auto engine = make_engine();
    for (const auto& id : numbered_ids(kTrees)) engine->create_tree_from_text(act_tree(id), id);
    std::barrier start(2);
    std::string all_error, one_error;
    std::thread all([&] {
      start.arrive_and_wait();
      all_error = error_of([&] { engine->stop_all_trees(); });
    });
    std::thread one([&] {
      start.arrive_and_wait();
      one_error = error_of([&] { engine->stop_tree("t" + std::to_string(round % kTrees)); });
    });
    all.join();
    one.join();
    ASSERT_EQ(all_error, "(no error)");
    EXPECT_TRUE(one_error == "(no error)" ||
                one_error == "行为树ID t" + std::to_string(round % kTrees) + " 不存在")
        << one_error;
    EXPECT_TRUE(engine->get_tree_ids().empty());
    EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
    for (const auto& id : numbered_ids(kTrees))
      EXPECT_EQ(log.count("info", "停止行为树: " + id), 1u);
  }
}

TEST_P(ConcurrencyTest, DuringAStopTheIdIsGoneAndACreationUnderItWaitsForTheStop) {
  Gate entered, release;
  TokenProbe probe;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() == "Old") {
      probe.take(node);
      entered.open();
      release.wait();  // ignores the stop: the stop waits for this tick
    }
    return NodeStatus::SUCCESS;
  };
  auto engine = make_engine();
  engine->create_tree_from_text(act_tree("Old"), "t");
  engine->create_tree_from_text(act_tree("Other"), "u");
  std::atomic<bool> old_tree_gone{false};
  engine->set_blackboard_data("t", "sentinel", std::make_shared<Sentinel>(old_tree_gone));
  auto busy = std::async(std::launch::async, [&] { return engine->tick_once("t"); });
  entered.wait();
  auto stopper = std::async(std::launch::async, [&] { engine->stop_tree("t"); });
  eventually([&] { return probe.stop_requested(); });  // the stop is under way

  // Gone for commands, not listed, and at once (nothing waits for the tick in progress).
  EXPECT_EQ(engine->get_tree_ids(), (Strings{"u"}));
  for (const auto& [name, op] : std::vector<std::pair<std::string, std::function<void()>>>{
           {"tick_once", [&] { engine->tick_once("t"); }},
           {"check_tree_exists", [&] { engine::trigger::host::check_tree_exists(*engine, "t"); }},
           {"stop_tree", [&] { engine->stop_tree("t"); }}}) {
    EXPECT_EQ(error_of(op), "行为树ID t 不存在") << name;
  }

  // A creation under the id waits until the stop has finished, then succeeds.
  std::atomic<pid_t> creator_tid{0};
  std::atomic<bool> creator_done{false};
  bool gone_when_created = false;
  auto creator = std::async(std::launch::async, [&] {
    creator_tid = static_cast<pid_t>(syscall(SYS_gettid));
    std::string outcome = error_of([&] {
      engine->create_tree_from_text(act_tree("New"), "t");
      gone_when_created = old_tree_gone;
    });
    creator_done = true;
    return outcome;
  });
  eventually([&] { return creator_done || (creator_tid != 0 && thread_sleeps(creator_tid)); });
  EXPECT_FALSE(creator_done) << "the creation finished while the stop was still under way";
  release.open();
  EXPECT_EQ(busy.get(), NodeStatus::SUCCESS) << "the command in progress got its result";
  stopper.get();
  EXPECT_EQ(creator.get(), "(no error)");
  EXPECT_TRUE(gone_when_created) << "the old tree's worker had dropped its tree";
  EXPECT_EQ(engine->get_tree_ids(), (Strings{"u", "t"}));
  EXPECT_EQ(engine->tick_once("t"), NodeStatus::SUCCESS);
  EXPECT_EQ(script.journal_of("New"), (Strings{"New:tick"}));
}

INSTANTIATE_TEST_SUITE_P(Channel, ConcurrencyTest, ::testing::Values(false, true),
                         [](const auto& param_info) {
                           return param_info.param ? "Spinning" : "Sleeping";
                         });

}  // namespace
}  // namespace kelmora::testing
