// Stopping one tree, all trees, and destroying the engine.

#include <gtest/gtest.h>

#include <kelmora/engine/trigger/mthread.hpp>
#include <thread>

#include "support/fake_worker_engine.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;

class StoppingTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
  LogCapture log;
};

TEST_F(StoppingTest, StoppedTreeIsGoneItsWorkerEndedAndOneLineLogged) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "a");
  engine.create_tree_from_text("B", "b");
  engine.tick_once("a");
  log.clear();
  engine.stop_tree("a");
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"b"}));
  EXPECT_EQ(world->destroyed, 1) << "the worker has ended and dropped its engine";
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "停止行为树: a"}}));
  EXPECT_EQ(engine.tick_once("b"), NodeStatus::SUCCESS);
}

TEST_F(StoppingTest, SecondStopOfOneTreeIsAValueError) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "a");
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
    ThreadEngine engine(world->options());
    for (const char* id : {"z", "a", "m"}) {
      if (trees) engine.create_tree_from_text("X", std::string(id));
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
}

TEST_F(StoppingTest, OldIdsCanBeUsedAgainAfterStopAll) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A");
  engine.create_tree_from_text("B");
  engine.stop_all_trees();
  EXPECT_EQ(engine.create_tree_from_text("C"), "tree_0");
  EXPECT_EQ(engine.tick_once("tree_0"), NodeStatus::SUCCESS);
  EXPECT_EQ(world->journal_of("C:"), (Strings{"C:build", "C:tick_once"}));
}

TEST_F(StoppingTest, DestructionStopsEveryTreeInOrderWithTheSameLines) {
  {
    ThreadEngine engine(world->options());
    engine.create_tree_from_text("A", "first");
    engine.create_tree_from_text("B", "second");
    log.clear();
  }
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "停止行为树: first"},
                                               {"info", "停止行为树: second"},
                                               {"info", "停止所有行为树"}}));
  EXPECT_EQ(world->made, 2);
  EXPECT_EQ(world->destroyed, 2);
}

TEST_F(StoppingTest, StopWhileStartingEndsTheWorkerOnceTheTreeIsBuilt) {
  Gate building, build;
  world->hooks.on_build = [&](FakeWorkerEngine&, const std::string&) {
    building.open();
    build.wait();
  };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "a");
  building.wait();
  std::thread stopper([&] { engine.stop_tree("a"); });
  // The stop waits for the worker, which is still building; let it finish.
  build.open();
  stopper.join();
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_EQ(world->journal(), (Strings{"A:build"})) << "nothing was processed";
  EXPECT_EQ(world->destroyed, 1);
}

TEST_F(StoppingTest, TreeWhoseWorkerFailedStopsNormally) {
  world->hooks.on_build = [](FakeWorkerEngine&, const std::string&) {
    throw core::TreeBuildError("bad");
  };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("A", "before-taken");
  engine.create_tree_from_text("A", "after-taken");
  EXPECT_THROW(engine.tick_once("after-taken"), RuntimeError);
  log.clear();
  engine.stop_tree("before-taken");  // its error record was never taken
  engine.stop_tree("after-taken");
  // (The worker of before-taken may log its failure at any time before its stop.)
  EXPECT_EQ(log.texts("info"), (Strings{"停止行为树: before-taken", "停止行为树: after-taken"}));
  EXPECT_TRUE(engine.get_tree_ids().empty());
}

TEST_F(StoppingTest, StopFromAnotherTreesTickWorks) {
  ThreadEngine* self = nullptr;
  world->hooks.tick_once = [&](FakeWorkerEngine&) -> std::any {
    self->stop_tree("b");
    return NodeStatus::SUCCESS;
  };
  ThreadEngine engine(world->options());
  self = &engine;
  engine.create_tree_from_text("A", "a");
  engine.create_tree_from_text("B", "b");
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::SUCCESS);
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"a"}));
}

TEST_F(StoppingTest, StopAllEndsAtTheFirstErrorLeavingTheLaterTreesRunning) {
  ThreadEngine* self = nullptr;
  std::string error;
  world->hooks.tick_once = [&](FakeWorkerEngine&) -> std::any {
    try {
      self->stop_all_trees();  // reaches its own tree second
    } catch (const RuntimeError& e) {
      error = e.what();
    }
    return NodeStatus::SUCCESS;
  };
  ThreadEngine engine(world->options());
  self = &engine;
  for (const char* id : {"a", "b", "c"}) engine.create_tree_from_text("X", std::string(id));
  log.clear();
  EXPECT_EQ(engine.tick_once("b"), NodeStatus::SUCCESS);
  const std::string refusal = "行为树 b 的命令不能在它自己的工作线程中调用";
  EXPECT_EQ(error, refusal);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"info", "停止行为树: a"}, {"error", refusal}}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"b", "c"}));
  EXPECT_EQ(engine.get_tree_status("c")->size(), 1u) << "c still serves commands";
}

TEST_F(StoppingTest, EngineDestroyedFromItsOwnTickLeavesNoWorkerBehind) {
  auto engine = std::make_unique<ThreadEngine>(world->options());
  world->hooks.tick_once = [&](FakeWorkerEngine& fake) -> std::any {
    if (fake.xml() == "A") engine.reset();
    return NodeStatus::SUCCESS;
  };
  engine->create_tree_from_text("A", "a");
  engine->create_tree_from_text("B", "b");
  ThreadEngine& raw = *engine;
  log.clear();
  EXPECT_EQ(raw.tick_once("a"), NodeStatus::SUCCESS) << "the caller still gets its result";
  eventually([&] { return world->destroyed == 2; });  // both workers end; nobody joins a
  EXPECT_EQ(log.lines(),
            (std::vector<LogLine>{
                {"info", "停止行为树: a"}, {"info", "停止行为树: b"}, {"info", "停止所有行为树"}}));
}

}  // namespace
}  // namespace kelmora::testing
