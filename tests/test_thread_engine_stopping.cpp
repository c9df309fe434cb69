// Stopping one tree, all trees, and destroying the engine; no worker thread outlives its tree.

#include <gtest/gtest.h>

#include <future>
#include <kelmora/engine/trigger/mthread.hpp>
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

const char* const kUnbuildable =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Nope/></BehaviorTree></root>)";

class StoppingTest : public ::testing::Test {
 protected:
  ThreadBaseline baseline;  // before any engine of the test starts a thread
  Script script;
  LogCapture log;
};

TEST_F(StoppingTest, StoppedTreeIsGoneItsWorkerEndedAndOneLineLogged) {
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("a"), "a");
  engine.create_tree_from_text(act_tree("b"), "b");
  engine.tick_once("a");
  eventually([&] { return baseline.new_threads().size() == 2; });
  log.clear();
  engine.stop_tree("a");
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"b"}));
  eventually([&] { return baseline.new_threads().size() == 1; });  // only b's worker is left
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "停止行为树: a"}}));
  EXPECT_EQ(engine.tick_once("b"), NodeStatus::SUCCESS);
}

TEST_F(StoppingTest, SecondStopOfOneTreeIsAValueError) {
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("a"), "a");
  engine.stop_tree("a");
  log.clear();
  try {
    engine.stop_tree("a");
    FAIL() << "expected ValueError";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "行为树ID a 不存在");
  }
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", "行为树ID a 不存在"}}));
}

TEST_F(StoppingTest, StopAllStopsInCreationOrderThenLogsOnce) {
  for (int trees : {0, 3}) {
    SCOPED_TRACE(trees);
    ThreadEngine engine;
    script.install(engine);
    for (const char* id : {"z", "a", "m"}) {
      if (trees) engine.create_tree_from_text(act_tree(id), std::string(id));
    }
    log.clear();
    engine.stop_all_trees();
    std::vector<LogLine> expected;
    if (trees) {
      expected = {{"info", "停止行为树: z"}, {"info", "停止行为树: a"}, {"info", "停止行为树: m"}};
    }
    expected.push_back({"info", "停止所有行为树"});
    EXPECT_EQ(log.lines(), expected);
    EXPECT_TRUE(engine.get_tree_ids().empty());
  }
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
}

TEST_F(StoppingTest, OldIdsCanBeUsedAgainAfterStopAll) {
  ThreadEngine engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("A"));
  engine.create_tree_from_text(act_tree("B"));
  engine.stop_all_trees();
  EXPECT_EQ(engine.create_tree_from_text(act_tree("C")), "tree_0");
  EXPECT_EQ(engine.tick_once("tree_0"), NodeStatus::SUCCESS);
  EXPECT_EQ(script.journal(), (Strings{"C:tick"}));
}

TEST_F(StoppingTest, DestructionStopsEveryTreeInOrderWithTheSameLinesAndEndsEveryWorker) {
  {
    ThreadEngine engine;
    script.install(engine);
    engine.create_tree_from_text(act_tree("A"), "first");
    engine.create_tree_from_text(act_tree("B"), "second");
    log.clear();
  }
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "停止行为树: first"},
                                               {"info", "停止行为树: second"},
                                               {"info", "停止所有行为树"}}));
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
}

TEST_F(StoppingTest, StopWhileStartingEndsTheWorkerOnceTheTreeIsBuilt) {
  Gate start;
  ThreadEngine engine;
  script.install(engine);
  hold_workers(engine, start);
  engine.create_tree_from_text(act_tree("A"), "a");
  auto stopper = std::async(std::launch::async, [&] { engine.stop_tree("a"); });
  // The stop waits for the worker, which has not even begun to build; let it.
  eventually([&] { return engine.get_tree_ids().empty(); });
  start.open();
  stopper.get();
  EXPECT_EQ(log.count("info", "停止行为树: a"), 1u);
  EXPECT_TRUE(script.journal().empty()) << "nothing was processed";
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
}

TEST_F(StoppingTest, TreeWhoseWorkerFailedStopsNormally) {
  ThreadEngine engine;
  engine.create_tree_from_text(kUnbuildable, "before-taken");
  engine.create_tree_from_text(kUnbuildable, "after-taken");
  EXPECT_THROW(engine.tick_once("after-taken"), RuntimeError);
  log.clear();
  engine.stop_tree("before-taken");  // its failure was never taken
  engine.stop_tree("after-taken");
  // (The worker of before-taken may log its failure at any time before its stop.)
  EXPECT_EQ(log.texts("info"), (Strings{"停止行为树: before-taken", "停止行为树: after-taken"}));
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
}

TEST_F(StoppingTest, StopFromAnotherTreesTickWorks) {
  ThreadEngine* self = nullptr;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() == "a") self->stop_tree("b");
    return NodeStatus::SUCCESS;
  };
  ThreadEngine engine;
  self = &engine;
  script.install(engine);
  engine.create_tree_from_text(act_tree("a"), "a");
  engine.create_tree_from_text(act_tree("b"), "b");
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::SUCCESS);
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"a"}));
}

TEST_F(StoppingTest, StopAllEndsAtTheFirstErrorLeavingTheLaterTreesRunning) {
  ThreadEngine* self = nullptr;
  std::string error;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() != "b") return NodeStatus::SUCCESS;
    try {
      self->stop_all_trees();  // reaches its own tree second
    } catch (const RuntimeError& e) {
      error = e.what();
    }
    return NodeStatus::SUCCESS;
  };
  ThreadEngine engine;
  self = &engine;
  script.install(engine);
  for (const char* id : {"a", "b", "c"})
    engine.create_tree_from_text(act_tree(id), std::string(id));
  log.clear();
  EXPECT_EQ(engine.tick_once("b"), NodeStatus::SUCCESS);
  const std::string refusal = "行为树 b 的命令不能在它自己的工作线程中调用";
  EXPECT_EQ(error, refusal);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "停止行为树: a"}, {"error", refusal}}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"b", "c"}));
  EXPECT_EQ(engine.tick_once("c"), NodeStatus::SUCCESS) << "c still serves commands";
}

// The engine destroyed from inside a tick: the worker running that tick (and, in the second case,
// the worker whose tick waits for it) cannot be joined there; they leave after their command, and
// the reaper joins them, so no thread is left behind.
struct DestroyedInside {
  const char* label;
  const char* destroyer;  // the tree whose tick destroys the engine
  const char* ticked;     // the tree the test ticks
};

void PrintTo(const DestroyedInside& c, std::ostream* os) { *os << c.label; }

class DestroyedInsideTest : public StoppingTest,
                            public ::testing::WithParamInterface<DestroyedInside> {};

TEST_P(DestroyedInsideTest, EveryCallerGetsItsResultAndNoWorkerIsLeftBehind) {
  const auto& c = GetParam();
  auto engine = std::make_unique<ThreadEngine>();
  ThreadEngine& raw = *engine;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() == c.destroyer) {
      engine.reset();
      return NodeStatus::SUCCESS;
    }
    return raw.tick_once(c.destroyer);  // the ticked tree waits for the destroyer
  };
  script.install(*engine);
  engine->create_tree_from_text(act_tree("a"), "a");
  engine->create_tree_from_text(act_tree("b"), "b");
  log.clear();
  EXPECT_EQ(raw.tick_once(c.ticked), NodeStatus::SUCCESS) << "the caller still gets its result";
  EXPECT_EQ(engine, nullptr);
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{
                {"info", "停止行为树: a"}, {"info", "停止行为树: b"}, {"info", "停止所有行为树"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Reaper, DestroyedInsideTest,
    ::testing::Values(DestroyedInside{"FromItsOwnTick", "a", "a"},
                      DestroyedInside{"FromATickAnotherTreeWaitsFor", "b", "a"}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

}  // namespace
}  // namespace kelmora::testing
