// Command processing: one command record in, exactly one result record out.

#include <gtest/gtest.h>

#include <kelmora/engine/trigger/mthread.hpp>

#include "support/fake_worker_engine.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::AnyMap;
using core::NodeStatus;
using engine::trigger::CommandRecord;
using engine::trigger::ResultRecord;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;

class ProcessingTest : public ::testing::Test {
 protected:
  ProcessingTest() : fake(world) { fake.create_tree_from_text("T"); }

  // Processes one command on the fake; returns the result record it left.
  ResultRecord process(const CommandRecord& command) {
    std::optional<ResultRecord> result = ResultRecord{"stale", "old", 0};
    engine._process_command(fake, command, "tree-7", result);
    EXPECT_TRUE(result.has_value());
    return result ? std::move(*result) : ResultRecord{};
  }

  std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
  FakeWorkerEngine fake;
  LogCapture log;
  ThreadEngine engine{world->options()};
};

TEST_F(ProcessingTest, EachCommandTypeCallsItsOperationAndStoresItsResult) {
  world->hooks.set_result = [](FakeWorkerEngine&) { return std::any(std::string("dropped")); };
  world->hooks.reset_result = [](FakeWorkerEngine&) { return std::any(42); };
  log.clear();
  struct Case {
    std::string type;
    AnyMap params;
    std::string journal;  // what the engine was asked
    std::function<void(const std::any&)> check;
  };
  const std::vector<Case> cases = {
      {"tick_once",
       {},
       "T:tick_once",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<NodeStatus>(v), NodeStatus::SUCCESS); }},
      {"tick_until_failure",
       {},
       "T:tick_until_failure",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<std::int64_t>(v), 3); }},
      {"tick_until_success",
       {},
       "T:tick_until_success",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<std::int64_t>(v), 1); }},
      {"tick_n_times",
       {{"n", std::int64_t{2}}},
       "T:tick_n_times 2 int",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<std::vector<NodeStatus>>(v).size(), 2u); }},
      {"tick_n_times",
       {},
       "T:tick_n_times 1 int",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<std::vector<NodeStatus>>(v).size(), 1u); }},
      {"get_status",
       {},
       "T:get_tree_status",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<AnyMap>(v).size(), 1u); }},
      {"set_blackboard_data",
       {{"key", std::string("k")}, {"value", 5}},
       "T:set_blackboard_data k 5",
       [](const std::any& v) { EXPECT_FALSE(v.has_value()); }},
      {"set_blackboard_data",
       {{"key", std::string("n")}},
       "T:set_blackboard_data n None",
       [](const std::any& v) { EXPECT_FALSE(v.has_value()); }},
      {"get_blackboard_data",
       {{"key", std::string("k")}},
       "T:get_blackboard_data k",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<int>(v), 5); }},
      {"get_blackboard_data",
       {},
       "T:get_blackboard_data None",
       [](const std::any& v) { EXPECT_FALSE(v.has_value()); }},
      {"get_all_blackboard_data",
       {},
       "T:get_all_blackboard_data",
       [](const std::any& v) { EXPECT_EQ(std::any_cast<AnyMap>(v).size(), 2u); }},
      {"reset", {}, "T:reset_tree", [](const std::any& v) { EXPECT_FALSE(v.has_value()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type + " " + c.journal);
    const std::size_t before = world->journal().size();
    ResultRecord result = process(CommandRecord{c.type, c.params});
    EXPECT_EQ(result.result_type, c.type);
    EXPECT_EQ(result.result_tree_id, "tree-7");
    c.check(result.result_value);
    EXPECT_EQ(world->journal().size(), before + 1);
    EXPECT_EQ(world->journal().back(), c.journal);
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProcessingTest, UnknownTypesBecomeLoggedErrorRecords) {
  log.clear();
  struct Case {
    CommandRecord command;
    std::string message;
  };
  const std::vector<Case> cases = {
      {CommandRecord{}, "未知命令类型: None"},  // an empty record is a command, not a stop
      {CommandRecord{std::nullopt, AnyMap{{"n", 1}}}, "未知命令类型: None"},
      {CommandRecord{"TICK_ONCE", std::nullopt}, "未知命令类型: TICK_ONCE"},
      {CommandRecord{"get_tree_status", AnyMap{}}, "未知命令类型: get_tree_status"},
      {CommandRecord{"reset_tree", AnyMap{}}, "未知命令类型: reset_tree"},
      {CommandRecord{"tick_once ", AnyMap{}}, "未知命令类型: tick_once "},
  };
  std::vector<LogLine> expected_log;
  for (const auto& c : cases) {
    ResultRecord result = process(c.command);
    EXPECT_EQ(result.result_type, "error");
    EXPECT_EQ(result.result_tree_id, "tree-7");
    EXPECT_EQ(std::any_cast<std::string>(result.result_value), c.message);
    expected_log.push_back({"error", c.message});
  }
  EXPECT_EQ(log.lines(), expected_log);
  EXPECT_EQ(world->journal(), (Strings{"T:build"})) << "no engine operation was called";
}

TEST_F(ProcessingTest, EngineErrorsBecomeLoggedErrorRecords) {
  world->hooks.tick_once = [](FakeWorkerEngine&) -> std::any {
    throw core::NodeTickError("node 'Work' (Work): disk full");
  };
  world->hooks.tick_until_failure = [](FakeWorkerEngine&) -> std::any { throw 7; };
  log.clear();
  struct Case {
    CommandRecord command;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"tick_once", AnyMap{}}, "处理命令 tick_once 时发生错误: node 'Work' (Work): disk full"},
      {{"tick_n_times", AnyMap{{"n", std::string("3")}}},
       "处理命令 tick_n_times 时发生错误: n is not an integer"},
      {{"tick_until_failure", std::nullopt},
       "处理命令 tick_until_failure 时发生错误: unknown error"},
  };
  for (const auto& c : cases) {
    ResultRecord result = process(c.command);
    EXPECT_EQ(result.result_type, "error");
    EXPECT_EQ(result.result_tree_id, "tree-7");
    EXPECT_EQ(std::any_cast<std::string>(result.result_value), c.message);
  }
  EXPECT_EQ(log.texts("error"), (Strings{cases[0].message, cases[1].message, cases[2].message}));
}

}  // namespace
}  // namespace kelmora::testing
