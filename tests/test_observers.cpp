// Observers of a thread engine's trees: transition records of every tree or of one, called on the
// tree's worker after each tick step; observers that use the engine are served or refused, never
// left hanging; observers that throw are removed.

#include <gtest/gtest.h>

#include <atomic>
#include <kelmora/engine/trigger/mthread.hpp>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;

// A tree of a Sequence named after the tree holding an AlwaysSuccess and an Act.
std::string pair_tree(const std::string& name) {
  return R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence name=")" + name +
         R"("><AlwaysSuccess/><Act name="act"/></Sequence></BehaviorTree></root>)";
}

// Collects transition records as "tree uid path registration PREVIOUS>NEW". Thread-safe.
class Collector {
 public:
  observe::TransitionCallback callback() {
    return [this](const observe::TransitionRecord& r) {
      std::lock_guard lock(mutex_);
      lines_.push_back(r.tree_id + " " + std::to_string(r.node_id) + " " + r.path + " " +
                       r.registration_id + " " + std::string(core::to_string(r.previous)) + ">" +
                       std::string(core::to_string(r.status)));
      threads_.push_back(std::this_thread::get_id());
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::thread::id> threads_;
};

TEST(ObserversTest, EngineObserverGetsEveryTreesTransitionsAndTreeObserverOnlyItsOwn) {
  ThreadEngine engine;
  Script script;
  script.install(engine);
  Collector all, only_b;
  engine.create_tree_from_text(pair_tree("a"), "a");
  engine.add_transition_observer(all.callback());
  engine.create_tree_from_text(pair_tree("b"), "b");
  engine.add_transition_observer(only_b.callback(), "b");
  engine.tick_once("a");
  engine.tick_once("b");
  const std::vector<std::string> tick_of_b = {
      "b 0 b Sequence IDLE>RUNNING", "b 1 b/AlwaysSuccess AlwaysSuccess IDLE>SUCCESS",
      "b 2 b/act Act IDLE>SUCCESS",  "b 1 b/AlwaysSuccess AlwaysSuccess SUCCESS>IDLE",
      "b 2 b/act Act SUCCESS>IDLE",  "b 0 b Sequence RUNNING>SUCCESS"};
  std::vector<std::string> expected_all = {
      "a 0 a Sequence IDLE>RUNNING", "a 1 a/AlwaysSuccess AlwaysSuccess IDLE>SUCCESS",
      "a 2 a/act Act IDLE>SUCCESS",  "a 1 a/AlwaysSuccess AlwaysSuccess SUCCESS>IDLE",
      "a 2 a/act Act SUCCESS>IDLE",  "a 0 a Sequence RUNNING>SUCCESS"};
  expected_all.insert(expected_all.end(), tick_of_b.begin(), tick_of_b.end());
  EXPECT_EQ(all.lines(), expected_all);
  EXPECT_EQ(only_b.lines(), tick_of_b);
}

TEST(ObserversTest, ObserversRunOnTheTreesWorkerThreadWithWallTimes) {
  ThreadEngine engine;
  Script script;
  std::atomic<std::thread::id> ticker{};
  script.on_tick = [&ticker](core::TreeNode&) {
    ticker = std::this_thread::get_id();
    return NodeStatus::SUCCESS;
  };
  script.install(engine);
  std::vector<observe::TransitionRecord> records;
  std::mutex mutex;
  engine.add_transition_observer([&](const observe::TransitionRecord& r) {
    std::lock_guard lock(mutex);
    records.push_back(r);
  });
  engine.create_tree_from_text(act_tree("x"), "x");
  const auto before = std::chrono::system_clock::now();
  engine.tick_once("x");
  const auto after = std::chrono::system_clock::now();
  Collector collector;
  engine.add_transition_observer(collector.callback(), "x");
  engine.reset_tree("x");
  ASSERT_EQ(collector.threads().size(), 1u);  // SUCCESS>IDLE
  EXPECT_EQ(collector.threads()[0], ticker.load());
  EXPECT_NE(collector.threads()[0], std::this_thread::get_id());
  std::lock_guard lock(mutex);
  ASSERT_GE(records.size(), 1u);
  EXPECT_EQ(records[0].name, "x");
  EXPECT_GE(records[0].wall_time, before - std::chrono::seconds(1));
  EXPECT_LE(records[0].wall_time, after + std::chrono::seconds(1));
}

TEST(ObserversTest, RemovedObserversAreNotCalledAndUnknownIdsAreReported) {
  ThreadEngine engine;
  Script script;
  script.install(engine);
  engine.create_tree_from_text(act_tree("x"), "x");
  Collector collector;
  const auto id = engine.add_transition_observer(collector.callback());
  engine.tick_once("x");
  const std::size_t seen = collector.lines().size();
  EXPECT_TRUE(engine.remove_observer(id));
  EXPECT_FALSE(engine.remove_observer(id));
  EXPECT_FALSE(engine.remove_observer(12345));
  engine.reset_tree("x");
  engine.tick_once("x");
  EXPECT_EQ(collector.lines().size(), seen);
}

TEST(ObserversTest, AttachingToAnUnknownTreeOrANullObserverFails) {
  ThreadEngine engine;
  LogCapture log;
  EXPECT_EQ(error_of([&] { engine.add_transition_observer([](const auto&) {}, "nope"); }),
            "行为树ID nope 不存在");
  EXPECT_THROW(engine.add_observer(nullptr), std::invalid_argument);
  EXPECT_THROW(engine.add_transition_observer({}), std::invalid_argument);
}

// An observer that does `act` once, on the first transition of tree "a", and keeps what it got.
class ActingObserver final : public observe::Observer {
 public:
  explicit ActingObserver(std::function<std::string()> act) : act_(std::move(act)) {}
  void on_step(const observe::Step& step) override {
    if (step.transitions.empty() || step.tree.tree_id != "a" || done_.exchange(true)) return;
    std::string outcome = act_();
    std::lock_guard lock(mutex_);
    outcome_ = std::move(outcome);
  }
  std::optional<std::string> outcome() const {
    std::lock_guard lock(mutex_);
    return outcome_;
  }

 private:
  std::function<std::string()> act_;
  std::atomic<bool> done_{false};
  mutable std::mutex mutex_;
  std::optional<std::string> outcome_;
};

TEST(ObserversTest, ObserversUsingTheEngineAreServedOrRefusedNeverLeftHanging) {
  struct Case {
    std::string name;
    std::function<std::string(ThreadEngine&)> act;
    std::string expected;  // the error text, or "served"
  };
  const std::vector<Case> cases = {
      {"ticks its own tree", [](ThreadEngine& e) { return error_of([&] { e.tick_once("a"); }); },
       "own"},
      {"stops its own tree", [](ThreadEngine& e) { return error_of([&] { e.stop_tree("a"); }); },
       "own"},
      {"reads another tree",
       [](ThreadEngine& e) {
         e.get_tree_status("b");
         return std::string("served");
       },
       "served"},
      {"adds and removes observers",
       [](ThreadEngine& e) {
         e.remove_observer(e.add_transition_observer([](const auto&) {}));
         return std::string("served");
       },
       "served"},
      {"draws another tree",
       [](ThreadEngine& e) {
         return e.tree_to_dot("b").find("digraph") == 0 ? "served" : "no picture";
       },
       "served"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    ThreadEngine engine;
    Script script;
    script.install(engine);
    engine.create_tree_from_text(act_tree("a"), "a");
    engine.create_tree_from_text(act_tree("b"), "b");
    auto observer = std::make_shared<ActingObserver>([&engine, &c] { return c.act(engine); });
    engine.add_observer(observer);
    engine.tick_once("a");
    ASSERT_TRUE(observer->outcome());
    if (c.expected == "own") {
      EXPECT_NE(observer->outcome()->find(" a "), std::string::npos) << *observer->outcome();
      EXPECT_NE(*observer->outcome(), "(no error)");
    } else {
      EXPECT_EQ(*observer->outcome(), c.expected);
    }
    EXPECT_EQ(engine.tick_once("a"), NodeStatus::SUCCESS);  // the tree still answers
  }
}

TEST(ObserversTest, AnObserverWaitingForATreeThatWaitsForItIsRefusedAtOnce) {
  LogCapture log;
  ThreadEngine engine;
  Script script;
  // b's tick waits for a; a's observer then calls b: the cycle is refused, not waited for.
  script.on_tick = [&engine](core::TreeNode& node) {
    if (node.name() == "b") engine.tick_once("a");
    return NodeStatus::SUCCESS;
  };
  script.install(engine);
  engine.create_tree_from_text(act_tree("a"), "a");
  engine.create_tree_from_text(act_tree("b"), "b");
  std::atomic<bool> armed{false};
  auto observer = std::make_shared<ActingObserver>([&engine, &armed] {
    if (!armed) return std::string("not armed");
    return error_of([&] { engine.get_tree_status("b"); });
  });
  engine.tick_once("a");
  engine.reset_tree("a");
  armed = true;
  engine.add_observer(observer, "a");
  std::thread caller([&engine] { engine.tick_once("b"); });  // b's tick ticks a
  caller.join();
  ASSERT_TRUE(observer->outcome());
  EXPECT_NE(observer->outcome()->find("会形成循环等待"), std::string::npos) << *observer->outcome();
}

TEST(ObserversTest, AnObserverThatThrowsIsLoggedOnceAndRemoved) {
  LogCapture log;
  ThreadEngine engine;
  Script script;
  script.install(engine);
  engine.create_tree_from_text(act_tree("x"), "x");
  std::atomic<int> calls{0};
  engine.add_transition_observer([&calls](const observe::TransitionRecord&) {
    ++calls;
    throw std::runtime_error("observer broke");
  });
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(engine.tick_once("x"), NodeStatus::SUCCESS);
    engine.reset_tree("x");
  }
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(log.count("error", "observer of tree x failed and was removed: observer broke"), 1u);
}

// Counts steps and ends of trees. Thread-safe.
class EndWatcher final : public observe::Observer {
 public:
  void on_step(const observe::Step&) override { ++steps; }
  void on_tree_end(const observe::TreeShape& tree) override {
    std::lock_guard lock(mutex);
    ended.push_back(tree.tree_id + ":" + std::to_string(tree.nodes.size()));
  }
  std::atomic<int> steps{0};
  std::mutex mutex;
  std::vector<std::string> ended;
};

TEST(ObserversTest, ObserversLearnWhenTreesEnd) {
  auto watcher = std::make_shared<EndWatcher>();
  {
    ThreadEngine engine;
    Script script;
    script.install(engine);
    engine.add_observer(watcher);
    engine.create_tree_from_text(pair_tree("a"), "a");
    engine.create_tree_from_text(act_tree("b"), "b");
    engine.tick_once("a");
    engine.stop_tree("a");
    std::lock_guard lock(watcher->mutex);
    EXPECT_EQ(watcher->ended, std::vector<std::string>{"a:3"});
  }
  std::lock_guard lock(watcher->mutex);
  EXPECT_EQ(watcher->ended, (std::vector<std::string>{"a:3", "b:1"}));
  EXPECT_GE(watcher->steps.load(), 3);  // two builds and a tick
}

TEST(ObserversTest, ObserversComeAndGoWhileManyTreesTick) {
  ThreadEngine engine;
  Script script;
  script.install(engine);
  constexpr int kTrees = 4;
  for (int i = 0; i < kTrees; ++i) {
    engine.create_tree_from_text(pair_tree("t" + std::to_string(i)), "t" + std::to_string(i));
  }
  std::atomic<bool> done{false};
  std::atomic<long> seen{0};
  std::thread churn([&] {
    while (!done) {
      const auto id = engine.add_transition_observer([&seen](const auto&) { ++seen; });
      std::this_thread::yield();
      engine.remove_observer(id);
    }
  });
  std::vector<std::thread> tickers;
  for (int i = 0; i < kTrees; ++i) {
    tickers.emplace_back([&engine, i] {
      for (int k = 0; k < 200; ++k) engine.tick_n_times("t" + std::to_string(i), 5);
    });
  }
  for (auto& t : tickers) t.join();
  done = true;
  churn.join();
  Collector last;
  engine.add_transition_observer(last.callback(), "t0");
  engine.tick_once("t0");
  EXPECT_EQ(last.lines().size(), 6u);
}

}  // namespace
}  // namespace kelmora::testing
