// The command channel and the nine tree operations, against substitute worker engines.

#include <gtest/gtest.h>

#include <kelmora/engine/trigger/mthread.hpp>
#include <thread>

#include "support/fake_worker_engine.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::AnyMap;
using core::NodeStatus;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;
using Op = std::function<void(ThreadEngine&, const std::string&)>;

// Every tree operation, by name, for table-driven tests.
const std::vector<std::pair<std::string, Op>>& all_operations() {
  static const std::vector<std::pair<std::string, Op>> ops = {
      {"tick_once", [](ThreadEngine& e, const std::string& id) { e.tick_once(id); }},
      {"tick_until_failure",
       [](ThreadEngine& e, const std::string& id) { e.tick_until_failure(id); }},
      {"tick_until_success",
       [](ThreadEngine& e, const std::string& id) { e.tick_until_success(id); }},
      {"tick_n_times", [](ThreadEngine& e, const std::string& id) { e.tick_n_times(id, 2); }},
      {"get_tree_status", [](ThreadEngine& e, const std::string& id) { e.get_tree_status(id); }},
      {"get_blackboard_data",
       [](ThreadEngine& e, const std::string& id) { e.get_blackboard_data(id, "k"); }},
      {"set_blackboard_data",
       [](ThreadEngine& e, const std::string& id) { e.set_blackboard_data(id, "k", 1); }},
      {"get_all_blackboard_data",
       [](ThreadEngine& e, const std::string& id) { e.get_all_blackboard_data(id); }},
      {"reset_tree", [](ThreadEngine& e, const std::string& id) { e.reset_tree(id); }},
      {"stop_tree", [](ThreadEngine& e, const std::string& id) { e.stop_tree(id); }},
      {"_send_command",
       [](ThreadEngine& e, const std::string& id) { e._send_command(id, "tick_once"); }},
      {"_check_tree_exists",
       [](ThreadEngine& e, const std::string& id) { e._check_tree_exists(id); }},
  };
  return ops;
}

class CommandTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
  LogCapture log;
};

TEST_F(CommandTest, UnknownTreeFailsEveryOperationWithoutReachingAWorker) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "there");
  engine.stop_tree("there");
  for (const auto& [name, op] : all_operations()) {
    SCOPED_TRACE(name);
    log.clear();
    for (const std::string id : {"nope", "there"}) {
      try {
        op(engine, id);
        ADD_FAILURE() << "expected ValueError";
      } catch (const ValueError& e) {
        EXPECT_EQ(e.what(), "行为树ID " + id + " 不存在");
      }
    }
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", "行为树ID nope 不存在"},
                                                 {"error", "行为树ID there 不存在"}}));
  }
  EXPECT_EQ(world->journal(), (Strings{"T:build"}));
}

TEST_F(CommandTest, OperationsSendTheirCommandsAndReturnTheWorkersValues) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  log.clear();

  EXPECT_EQ(engine.tick_once("t"), NodeStatus::SUCCESS);
  EXPECT_EQ(engine.tick_until_failure("t"), 3);
  EXPECT_EQ(engine.tick_until_success("t"), 1);
  EXPECT_EQ(engine.tick_n_times("t", 3), (std::vector<NodeStatus>(3, NodeStatus::SUCCESS)));
  EXPECT_EQ(engine.tick_n_times("t", 0), std::vector<NodeStatus>{});
  EXPECT_EQ(engine.tick_n_times("t", -2), std::vector<NodeStatus>{});
  auto status = engine.get_tree_status("t");
  ASSERT_TRUE(status);
  EXPECT_EQ(std::any_cast<std::string>(status->at("status")), "IDLE");
  EXPECT_FALSE(engine.get_blackboard_data("t", "k").has_value());
  engine.set_blackboard_data("t", "k", std::string("v"));
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("t", "k")), "v");
  engine.set_blackboard_data("t", "n", std::any{});
  auto all = engine.get_all_blackboard_data("t");
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2u);
  EXPECT_FALSE(all->at("n").has_value());
  engine.reset_tree("t");

  EXPECT_EQ(world->journal(),
            (Strings{"T:build", "T:tick_once", "T:tick_until_failure", "T:tick_until_success",
                     "T:tick_n_times 3 int", "T:tick_n_times 0 int", "T:tick_n_times -2 int",
                     "T:get_tree_status", "T:get_blackboard_data k", "T:set_blackboard_data k v",
                     "T:get_blackboard_data k", "T:set_blackboard_data n None",
                     "T:get_all_blackboard_data", "T:reset_tree"}));
  EXPECT_TRUE(log.lines().empty()) << "tree operations log nothing themselves";
}

TEST_F(CommandTest, NoneResultsComeBackAsNone) {
  auto none = [](FakeWorkerEngine&) { return std::any{}; };
  world->hooks.tick_until_failure = none;
  world->hooks.tick_until_success = none;
  world->hooks.tick_n_times = [](FakeWorkerEngine&, const std::any&) { return std::any{}; };
  world->hooks.get_tree_status = none;
  world->hooks.get_all = none;
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  EXPECT_EQ(engine.tick_until_failure("t"), std::nullopt);
  EXPECT_EQ(engine.tick_until_success("t"), std::nullopt);
  EXPECT_EQ(engine.tick_n_times("t", 2), std::nullopt);
  EXPECT_EQ(engine.get_tree_status("t"), std::nullopt);
  EXPECT_EQ(engine.get_all_blackboard_data("t"), std::nullopt);
  EXPECT_FALSE(engine._send_command("t", "set_blackboard_data").has_value());
}

TEST_F(CommandTest, ResultsOfTheWrongKindFailWithoutALogLineAndTheTreeStaysUsable) {
  using LongName = std::map<std::string, std::vector<std::map<std::string, std::string>>>;
  const std::string long_kind = core::any_kind_name(std::any(LongName{}));
  ASSERT_GT(long_kind.size(), 200u);
  struct Case {
    std::string label;
    std::function<void(FakeHooks&, std::any)> install;
    std::any value;
    std::function<void(ThreadEngine&)> call;
    std::string message;
  };
  auto returns = [](std::any v) { return [v](FakeWorkerEngine&) { return v; }; };
  const std::vector<Case> cases = {
      {"tick_until_failure gives text",
       [&](FakeHooks& h, std::any v) { h.tick_until_failure = returns(v); }, std::string("3"),
       [](ThreadEngine& e) { e.tick_until_failure("t"); }, "Expected int, got str"},
      {"tick_until_success gives a bool",
       [&](FakeHooks& h, std::any v) { h.tick_until_success = returns(v); }, true,
       [](ThreadEngine& e) { e.tick_until_success("t"); }, "Expected int, got bool"},
      {"tick_until_failure gives a long kind name",
       [&](FakeHooks& h, std::any v) { h.tick_until_failure = returns(v); }, LongName{},
       [](ThreadEngine& e) { e.tick_until_failure("t"); },
       "Expected int, got " + long_kind.substr(0, 200)},
      {"tick_n_times gives a map",
       [&](FakeHooks& h, std::any v) {
         h.tick_n_times = [v](FakeWorkerEngine&, const std::any&) { return v; };
       },
       AnyMap{}, [](ThreadEngine& e) { e.tick_n_times("t", 1); }, "Expected list, got dict"},
      {"get_tree_status gives a list",
       [&](FakeHooks& h, std::any v) { h.get_tree_status = returns(v); }, std::vector<NodeStatus>{},
       [](ThreadEngine& e) { e.get_tree_status("t"); }, "Expected dict, got list"},
      {"get_all_blackboard_data gives an integer",
       [&](FakeHooks& h, std::any v) { h.get_all = returns(v); }, 7,
       [](ThreadEngine& e) { e.get_all_blackboard_data("t"); }, "Expected dict, got int"},
      {"tick_once gives an integer", [&](FakeHooks& h, std::any v) { h.tick_once = returns(v); }, 1,
       [](ThreadEngine& e) { e.tick_once("t"); }, "Expected NodeStatus, got int"},
      {"tick_once gives none", [&](FakeHooks& h, std::any v) { h.tick_once = returns(v); },
       std::any{}, [](ThreadEngine& e) { e.tick_once("t"); }, "Expected NodeStatus, got NoneType"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto w = std::make_shared<FakeWorld>();
    c.install(w->hooks, c.value);
    ThreadEngine engine(w->options());
    engine.create_tree_from_text("T", "t");
    log.clear();
    try {
      c.call(engine);
      ADD_FAILURE() << "expected TypeError";
    } catch (const TypeError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_TRUE(log.lines().empty());
    engine.set_blackboard_data("t", "after", 1);
    EXPECT_EQ(std::any_cast<int>(engine.get_blackboard_data("t", "after")), 1);
  }
}

TEST_F(CommandTest, ListsOfAnyHoldingStatusesAreLists) {
  world->hooks.tick_n_times = [](FakeWorkerEngine&, const std::any&) {
    return std::any(std::vector<std::any>{NodeStatus::RUNNING, NodeStatus::FAILURE});
  };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  EXPECT_EQ(engine.tick_n_times("t", 2),
            (std::vector<NodeStatus>{NodeStatus::RUNNING, NodeStatus::FAILURE}));
}

TEST_F(CommandTest, UnknownCommandTypesFailWithTheWorkersLineFirstAndTheTreeStaysUsable) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  for (const std::string type :
       {"TICK_ONCE", "Tick_Once", "get_tree_status", "reset_tree", "", "停止"}) {
    SCOPED_TRACE(type);
    log.clear();
    const std::string message = "行为树 t 执行命令 " + type + " 失败: 未知命令类型: " + type;
    try {
      engine._send_command("t", type);
      ADD_FAILURE() << "expected RuntimeError";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{{"error", "未知命令类型: " + type}, {"error", message}}));
    EXPECT_EQ(engine.tick_once("t"), NodeStatus::SUCCESS);
  }
}

TEST_F(CommandTest, EmptyOrAbsentParamsSendAnEmptyMap) {
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  engine._send_command("t", "tick_n_times");
  engine._send_command("t", "tick_n_times", AnyMap{});
  engine._send_command("t", "tick_n_times", AnyMap{{"n", 4}});
  engine._send_command("t", "tick_n_times", AnyMap{{"other", 4}});
  engine._send_command("t", "get_blackboard_data", AnyMap{});
  engine._send_command("t", "set_blackboard_data", AnyMap{{"key", std::string("k")}});
  EXPECT_EQ(world->journal(),
            (Strings{"T:build", "T:tick_n_times 1 int", "T:tick_n_times 1 int",
                     "T:tick_n_times 4 int", "T:tick_n_times 1 int", "T:get_blackboard_data None",
                     "T:set_blackboard_data k None"}));
}

TEST_F(CommandTest, FailingCommandLogsTwoLinesInOrderAndKeepsTheWorkerAlive) {
  std::atomic<int> ticks{0};
  world->hooks.tick_once = [&ticks](FakeWorkerEngine&) -> std::any {
    if (ticks++ == 0) throw std::runtime_error("boom");
    return NodeStatus::RUNNING;
  };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  log.clear();
  const std::string worker_line = "处理命令 tick_once 时发生错误: boom";
  const std::string caller_line = "行为树 t 执行命令 tick_once 失败: " + worker_line;
  EXPECT_EQ(error_of([&] { engine.tick_once("t"); }), caller_line);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", worker_line}, {"error", caller_line}}));
  EXPECT_EQ(engine.tick_once("t"), NodeStatus::RUNNING);
}

TEST_F(CommandTest, WorkerThatFailedWhileStartingGivesItsErrorOnceThenFailsPromptly) {
  world->hooks.on_build = [](FakeWorkerEngine&, const std::string&) {
    throw core::TreeBuildError("line 1: unknown node 'Nope'");
  };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  const std::string worker_line = "行为树线程 t 发生错误: line 1: unknown node 'Nope'";
  const std::string first = "行为树 t 执行命令 tick_once 失败: " + worker_line;
  EXPECT_EQ(error_of([&] { engine.tick_once("t"); }), first);
  // The worker fails on its own time, so its line may come before or after the creation's.
  EXPECT_EQ(log.texts("error"), (Strings{worker_line, first}));

  for (const std::string type : {"get_status", "tick_once"}) {
    log.clear();
    const std::string later = "行为树 t 执行命令 " + type + " 失败: 工作线程已结束";
    EXPECT_EQ(error_of([&] { engine._send_command("t", type); }), later);
    EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", later}}));
  }
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"t"})) << "a failed worker leaves its tree in place";
  EXPECT_EQ(world->destroyed, 1) << "the engine ended with its worker";
}

TEST_F(CommandTest, CallerAlreadyWaitingWhenTheWorkerFailsGetsTheWorkersError) {
  Gate build;
  world->hooks.on_build = [&build](FakeWorkerEngine&, const std::string&) {
    build.wait();
    throw core::TreeBuildError("bad");
  };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  std::string error;
  std::thread caller([&] { error = error_of([&] { engine.get_tree_status("t"); }); });
  build.open();
  caller.join();
  EXPECT_EQ(error, "行为树 t 执行命令 get_status 失败: 行为树线程 t 发生错误: bad");
}

TEST_F(CommandTest, EngineThatCannotBeMadeTakesTheWorkersErrorPath) {
  world->hooks.on_make = [](FakeWorkerEngine&) { throw std::bad_alloc(); };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  EXPECT_EQ(error_of([&] { engine.reset_tree("t"); }),
            "行为树 t 执行命令 reset 失败: 行为树线程 t 发生错误: std::bad_alloc");
}

TEST_F(CommandTest, CommandSentWhileTheTreeIsBuiltIsServedOnceItIsBuilt) {
  Gate build;
  world->hooks.on_build = [&build](FakeWorkerEngine&, const std::string&) { build.wait(); };
  ThreadEngine engine(world->options());
  engine.create_tree_from_text("T", "t");
  std::optional<NodeStatus> got;
  std::thread caller([&] { got = engine.tick_once("t"); });
  build.open();
  caller.join();
  EXPECT_EQ(got, NodeStatus::SUCCESS);
  EXPECT_EQ(world->journal(), (Strings{"T:build", "T:tick_once"}));
}

TEST_F(CommandTest, TickCallingItsOwnTreeFailsButOtherTreesWork) {
  ThreadEngine* self = nullptr;
  std::string own_error;
  world->hooks.tick_once = [&](FakeWorkerEngine& fake) -> std::any {
    if (fake.xml() != "A") return NodeStatus::FAILURE;
    own_error = error_of([&] { self->get_tree_status("a"); });
    own_error += " | " + error_of([&] { self->stop_tree("a"); });
    return self->tick_once("b");  // another tree: served by its own worker
  };
  ThreadEngine engine(world->options());
  self = &engine;
  engine.create_tree_from_text("A", "a");
  engine.create_tree_from_text("B", "b");
  log.clear();
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::FAILURE);
  const std::string refusal = "行为树 a 的命令不能在它自己的工作线程中调用";
  EXPECT_EQ(own_error, refusal + " | " + refusal);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", refusal}, {"error", refusal}}));
  EXPECT_EQ(engine.get_tree_ids(), (Strings{"a", "b"}));
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::FAILURE) << "the tree is still served";
}

}  // namespace
}  // namespace kelmora::testing
