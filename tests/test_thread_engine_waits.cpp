// Trees whose ticks call each other: a call that would close a cycle of waiting trees fails at
// once, naming the cycle; every other call waits and is served; stopping and destruction always
// end. Also run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <future>
#include <kelmora/engine/trigger/mthread.hpp>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>

#include "stress/process_stats.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using core::TreeNode;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;

// What each tree's tick does, by the tree's node name (= its id in these tests): call the next
// tree in `calls`, and remember the error it got.
struct CallPlan {
  std::map<std::string, std::function<void(ThreadEngine&)>> calls;
  std::mutex mutex;
  std::map<std::string, std::string> errors;  // tree -> error text its call got

  void note(const std::string& tree, std::string error) {
    std::lock_guard lock(mutex);
    errors[tree] = std::move(error);
  }
  std::map<std::string, std::string> taken() {
    std::lock_guard lock(mutex);
    return errors;
  }
};

// Makes ticks follow the plan: tree X's tick makes the call plan.calls[X] (if any) and notes the
// error it got; the refused call of a cycle ends the recursion.
void follow(Script& script, CallPlan& plan, ThreadEngine*& engine) {
  script.on_tick = [&plan, &engine](TreeNode& node) {
    auto it = plan.calls.find(node.name());
    if (it != plan.calls.end()) plan.note(node.name(), error_of([&] { it->second(*engine); }));
    return NodeStatus::SUCCESS;
  };
}

// Who drives the first tick: the test's own thread, or an std::async thread (no worker either).
enum class Driver { kTestThread, kAsyncThread };

void PrintTo(Driver driver, std::ostream* os) {
  *os << (driver == Driver::kTestThread ? "the test's thread" : "an std::async thread");
}

class WaitCycleTest : public ::testing::TestWithParam<Driver> {
 protected:
  template <class F>
  auto drive(F f) {
    if (GetParam() == Driver::kTestThread) return f();
    return std::async(std::launch::async, f).get();
  }

  // A new engine whose trees tick as the script says.
  std::unique_ptr<ThreadEngine> make_engine() {
    auto engine = std::make_unique<ThreadEngine>();
    script.install(*engine);
    return engine;
  }
  // Creates trees named by their ids.
  static void create(ThreadEngine& engine, std::initializer_list<const char*> ids) {
    for (const char* id : ids) engine.create_tree_from_text(act_tree(id), std::string(id));
  }

  ThreadBaseline baseline;  // before any engine of the test starts a thread
  Script script;
  LogCapture log;
};

TEST_P(WaitCycleTest, TwoTreesTickingEachOtherFailTheClosingCallNamingTheCycle) {
  CallPlan plan;
  ThreadEngine* self = nullptr;
  plan.calls["a"] = [](ThreadEngine& e) { e.tick_once("b"); };
  plan.calls["b"] = [](ThreadEngine& e) { e.tick_once("a"); };
  follow(script, plan, self);
  auto owned = make_engine();
  ThreadEngine& engine = *owned;
  self = &engine;
  create(engine, {"a", "b"});
  log.clear();
  EXPECT_EQ(drive([&] { return engine.tick_once("a"); }), NodeStatus::SUCCESS);
  const std::string refusal = "行为树 a 执行命令 tick_once 失败: 会形成循环等待 b -> a -> b";
  EXPECT_EQ(plan.taken(),
            (std::map<std::string, std::string>{{"a", "(no error)"}, {"b", refusal}}));
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", refusal}}));
  // Both trees serve on; the other way round the cycle is closed by a's call.
  EXPECT_EQ(drive([&] { return engine.tick_once("b"); }), NodeStatus::SUCCESS);
  EXPECT_EQ(plan.taken().at("a"), "行为树 b 执行命令 tick_once 失败: 会形成循环等待 a -> b -> a");
}

TEST_P(WaitCycleTest, ThreeTreesInACycleFailTheClosingCallNamingAllThree) {
  CallPlan plan;
  ThreadEngine* self = nullptr;
  plan.calls["a"] = [](ThreadEngine& e) { e.tick_once("b"); };
  plan.calls["b"] = [](ThreadEngine& e) { e.tick_n_times("c", 1); };
  plan.calls["c"] = [](ThreadEngine& e) { e.get_tree_status("a"); };
  follow(script, plan, self);
  auto owned = make_engine();
  ThreadEngine& engine = *owned;
  self = &engine;
  create(engine, {"a", "b", "c"});
  EXPECT_EQ(drive([&] { return engine.tick_once("a"); }), NodeStatus::SUCCESS);
  EXPECT_EQ(plan.taken(),
            (std::map<std::string, std::string>{
                {"a", "(no error)"},
                {"b", "(no error)"},
                {"c", "行为树 a 执行命令 get_status 失败: 会形成循环等待 c -> a -> b -> c"}}));
}

TEST_P(WaitCycleTest, TreesOfTwoEnginesTickingEachOtherFailTheClosingCall) {
  CallPlan plan;
  ThreadEngine* first = nullptr;
  ThreadEngine* second = nullptr;
  plan.calls["a"] = [&second](ThreadEngine&) { second->tick_once("b"); };
  plan.calls["b"] = [&first](ThreadEngine&) { first->tick_once("a"); };
  follow(script, plan, first);
  auto owned_one = make_engine();
  auto owned_two = make_engine();
  ThreadEngine& one = *owned_one;
  ThreadEngine& two = *owned_two;
  first = &one;
  second = &two;
  create(one, {"a"});
  create(two, {"b"});
  EXPECT_EQ(drive([&] { return one.tick_once("a"); }), NodeStatus::SUCCESS);
  EXPECT_EQ(plan.taken().at("b"), "行为树 a 执行命令 tick_once 失败: 会形成循环等待 b -> a -> b");
}

TEST_P(WaitCycleTest, StopInsideACycleIsRefusedWhenItClosesTheCycle) {
  // b ticks first and calls a; a's tick then stops b, which waits for a: the stop is refused.
  CallPlan plan;
  ThreadEngine* self = nullptr;
  plan.calls["b"] = [](ThreadEngine& e) { e.tick_once("a"); };
  plan.calls["a"] = [](ThreadEngine& e) { e.stop_tree("b"); };
  follow(script, plan, self);
  auto owned = make_engine();
  ThreadEngine& engine = *owned;
  self = &engine;
  create(engine, {"a", "b"});
  log.clear();
  EXPECT_EQ(drive([&] { return engine.tick_once("b"); }), NodeStatus::SUCCESS);
  const std::string refusal = "停止行为树 b 失败: 会形成循环等待 a -> b -> a";
  EXPECT_EQ(plan.taken().at("a"), refusal);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", refusal}}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"a", "b"})) << "the refused stop changed nothing";
  EXPECT_EQ(engine.tick_once("b"), NodeStatus::SUCCESS) << "b's stop was not even requested";
}

TEST_P(WaitCycleTest, TickInsideACycleIsRefusedWhenAStopWaitsForIt) {
  // a's tick stops b while b's tick runs; b's tick then calls a, which waits for that stop.
  Gate b_ticking, b_go;
  std::string b_error;
  ThreadEngine* self = nullptr;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() == "a") {
      self->stop_tree("b");
    } else if (node.name() == "b") {
      b_ticking.open();
      b_go.wait();
      b_error = error_of([&] { self->tick_once("a"); });
    }
    return NodeStatus::SUCCESS;
  };
  auto owned = make_engine();
  ThreadEngine& engine = *owned;
  self = &engine;
  create(engine, {"a", "b"});
  auto b_caller = std::async(std::launch::async, [&] { return engine.tick_once("b"); });
  b_ticking.wait();
  auto a_caller =
      std::async(std::launch::async, [&] { return drive([&] { return engine.tick_once("a"); }); });
  eventually([&] { return engine.get_tree_ids() == Strings{"a"}; });  // a's stop of b is under way
  b_go.open();
  EXPECT_EQ(b_caller.get(), NodeStatus::SUCCESS);
  EXPECT_EQ(a_caller.get(), NodeStatus::SUCCESS);
  EXPECT_EQ(b_error, "行为树 a 执行命令 tick_once 失败: 会形成循环等待 b -> a -> b");
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"a"})) << "a's stop of b went through";
  EXPECT_EQ(log.count("info", "停止行为树: b"), 1u);
}

TEST_P(WaitCycleTest, StopAllAndDestructionEndAfterCyclesWereRefused) {
  CallPlan plan;
  ThreadEngine* self = nullptr;
  plan.calls["a"] = [](ThreadEngine& e) { e.tick_once("b"); };
  plan.calls["b"] = [](ThreadEngine& e) { e.tick_once("c"); };
  plan.calls["c"] = [](ThreadEngine& e) { e.tick_once("a"); };
  follow(script, plan, self);
  for (bool stop_all : {true, false}) {
    SCOPED_TRACE(stop_all ? "stop_all_trees" : "destruction");
    auto engine = make_engine();
    self = engine.get();
    create(*engine, {"a", "b", "c"});
    // Three callers at once, each starting the cycle at another tree.
    std::vector<std::future<NodeStatus>> callers;
    for (const char* id : {"a", "b", "c"}) {
      callers.push_back(std::async(std::launch::async, [&, id] { return engine->tick_once(id); }));
    }
    for (auto& c : callers) EXPECT_EQ(c.get(), NodeStatus::SUCCESS);
    log.clear();
    if (stop_all) engine->stop_all_trees();
    engine.reset();
    EXPECT_EQ(log.count("info", "停止所有行为树"), stop_all ? 2u : 1u);
    EXPECT_EQ(baseline.surviving_new_threads(), Strings{}) << "every worker ended";
  }
}

TEST_P(WaitCycleTest, CallersThatAreNoWorkerWaitForBusyTreesAndAreNeverRefused) {
  // a's tick waits on b, whose tick waits for the test; meanwhile callers that are no worker ask
  // both trees, and a tick of c asks a: nobody is refused, all are served once b's tick ends.
  Gate b_ticking, b_go;
  ThreadEngine* self = nullptr;
  std::string c_error;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() == "a") self->tick_once("b");
    if (node.name() == "b") {
      b_ticking.open();
      b_go.wait();
    }
    if (node.name() == "c") c_error = error_of([&] { self->get_tree_status("a"); });
    return NodeStatus::SUCCESS;
  };
  auto owned = make_engine();
  ThreadEngine& engine = *owned;
  self = &engine;
  create(engine, {"a", "b", "c"});
  auto first = std::async(std::launch::async, [&] { return engine.tick_once("a"); });
  b_ticking.wait();
  auto on_a = std::async(std::launch::async, [&] { return engine.tick_once("a"); });
  auto on_b = std::async(std::launch::async, [&] { return engine.get_tree_status("b"); });
  auto via_c = std::async(std::launch::async, [&] { return engine.tick_once("c"); });
  b_go.open();
  EXPECT_EQ(first.get(), NodeStatus::SUCCESS);
  EXPECT_EQ(on_a.get(), NodeStatus::SUCCESS);
  EXPECT_FALSE(on_b.get().empty());
  EXPECT_EQ(via_c.get(), NodeStatus::SUCCESS);
  EXPECT_EQ(c_error, "(no error)");
  EXPECT_TRUE(log.texts("error").empty());
}

INSTANTIATE_TEST_SUITE_P(Drivers, WaitCycleTest,
                         ::testing::Values(Driver::kTestThread, Driver::kAsyncThread),
                         [](const auto& param_info) {
                           return param_info.param == Driver::kTestThread ? "FromTestThread"
                                                                          : "FromAsyncThread";
                         });

}  // namespace
}  // namespace kelmora::testing
