// The host protocol: one command record in, exactly one result record out, on a SequentialEngine;
// and commands sent by type to a tree's worker.

#include <gtest/gtest.h>

#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>

#include "engine/trigger/host_protocol.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::AnyMap;
using core::NodeStatus;
using core::TreeNode;
using engine::SequentialEngine;
using engine::trigger::ThreadEngine;
namespace host = engine::trigger::host;
using Strings = std::vector<std::string>;

// A tree of one Act node named "A"; every third tick fails, and a tick throws while `boom` is set.
class ProcessingTest : public ::testing::Test {
 public:
  ProcessingTest() {
    engine.register_action_behavior("Act",
                                    [this](TreeNode&) -> NodeStatus {
                                      if (boom) throw std::runtime_error("boom");
                                      return ++ticks % 3 == 0 ? NodeStatus::FAILURE
                                                              : NodeStatus::SUCCESS;
                                    },
                                    {});
    engine.create_tree_from_text(act_tree("A"));
  }

  // Processes one command; returns the result record it left in place of a stale one.
  host::ResultRecord process(const host::CommandRecord& command) {
    std::optional<host::ResultRecord> result = host::ResultRecord{"stale", "old", 0};
    host::process_command(engine, command, "tree-7", result);
    EXPECT_TRUE(result.has_value());
    return result ? std::move(*result) : host::ResultRecord{};
  }

  std::int64_t tick_count() const {
    return std::any_cast<std::int64_t>(engine.get_tree_status().at("tick_count"));
  }

  SequentialEngine engine;
  int ticks = 0;
  bool boom = false;
  LogCapture log;
};

TEST_F(ProcessingTest, EachCommandTypeRunsItsOperationAndStoresItsResult) {
  struct Case {
    std::string type;
    std::optional<std::any> params;
    std::function<void(const std::any& value, ProcessingTest& t)> check;
  };
  auto none = [](const std::any& v, ProcessingTest&) { EXPECT_FALSE(v.has_value()); };
  const std::vector<Case> cases = {
      {"tick_once", std::nullopt,
       [](const std::any& v, ProcessingTest& t) {
         EXPECT_EQ(std::any_cast<NodeStatus>(v), NodeStatus::SUCCESS);
         EXPECT_EQ(t.tick_count(), 1);
       }},
      {"tick_until_failure", AnyMap{},
       [](const std::any& v, ProcessingTest&) { EXPECT_EQ(std::any_cast<std::int64_t>(v), 2); }},
      {"tick_until_success", AnyMap{},
       [](const std::any& v, ProcessingTest&) { EXPECT_EQ(std::any_cast<std::int64_t>(v), 1); }},
      {"tick_n_times", AnyMap{{"n", std::int64_t{4}}},
       [](const std::any& v, ProcessingTest&) {
         EXPECT_EQ(std::any_cast<std::vector<NodeStatus>>(v),
                   (std::vector<NodeStatus>{NodeStatus::SUCCESS, NodeStatus::FAILURE,
                                            NodeStatus::SUCCESS, NodeStatus::SUCCESS}));
       }},
      {"tick_n_times", AnyMap{},
       [](const std::any& v, ProcessingTest&) {
         EXPECT_EQ(std::any_cast<std::vector<NodeStatus>>(v).size(), 1u) << "n defaults to 1";
       }},
      {"tick_n_times", AnyMap{{"n", 0}},
       [](const std::any& v, ProcessingTest&) {
         EXPECT_TRUE(std::any_cast<std::vector<NodeStatus>>(v).empty());
       }},
      {"get_status", AnyMap{},
       [](const std::any& v, ProcessingTest&) {
         EXPECT_EQ(std::any_cast<std::int64_t>(std::any_cast<AnyMap>(v).at("tick_count")), 9);
       }},
      {"set_blackboard_data", AnyMap{{"key", std::string("k")}, {"value", 5}}, none},
      {"set_blackboard_data", AnyMap{{"key", std::string("n")}}, none},
      {"get_blackboard_data", AnyMap{{"key", std::string("k")}},
       [](const std::any& v, ProcessingTest&) { EXPECT_EQ(std::any_cast<int>(v), 5); }},
      {"get_blackboard_data", AnyMap{{"key", std::string("never")}}, none},
      {"get_all_blackboard_data", std::nullopt,
       [](const std::any& v, ProcessingTest&) {
         const auto all = std::any_cast<AnyMap>(v);
         EXPECT_EQ(all.size(), 2u);
         EXPECT_FALSE(all.at("n").has_value()) << "a value absent from the parameters is none";
       }},
      {"reset", AnyMap{},
       [](const std::any& v, ProcessingTest& t) {
         EXPECT_FALSE(v.has_value());
         EXPECT_EQ(t.tick_count(), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const host::ResultRecord result = process(host::CommandRecord{c.type, c.params});
    EXPECT_EQ(result.result_type, c.type);
    EXPECT_EQ(result.result_tree_id, "tree-7");
    c.check(result.result_value, *this);
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProcessingTest, UnknownTypesBecomeLoggedErrorRecords) {
  struct Case {
    host::CommandRecord command;
    std::string message;
  };
  const std::vector<Case> cases = {
      {host::CommandRecord{}, "未知命令类型: None"},  // an empty record is a command, not a stop
      {host::CommandRecord{std::any{}, AnyMap{{"n", 1}}}, "未知命令类型: None"},
      {host::CommandRecord{std::string("TICK_ONCE"), std::nullopt}, "未知命令类型: TICK_ONCE"},
      {host::CommandRecord{std::string("get_tree_status"), AnyMap{}},
       "未知命令类型: get_tree_status"},
      {host::CommandRecord{std::string("reset_tree"), AnyMap{}}, "未知命令类型: reset_tree"},
      {host::CommandRecord{std::string("tick_once "), AnyMap{}}, "未知命令类型: tick_once "},
      {host::CommandRecord{std::string(""), AnyMap{}}, "未知命令类型: "},
      {host::CommandRecord{std::int64_t{5}, AnyMap{}}, "未知命令类型: 5"},
  };
  std::vector<LogLine> expected_log;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const host::ResultRecord result = process(c.command);
    EXPECT_EQ(result.result_type, "error");
    EXPECT_EQ(result.result_tree_id, "tree-7");
    EXPECT_EQ(std::any_cast<std::string>(result.result_value), c.message);
    expected_log.push_back({"error", c.message});
  }
  EXPECT_EQ(log.lines(), expected_log);
  EXPECT_EQ(tick_count(), 0) << "no engine operation was called";
}

TEST_F(ProcessingTest, FailuresBecomeLoggedErrorRecordsWithTheirCause) {
  struct Case {
    const char* label;
    host::CommandRecord command;
    bool boom;
    std::string message;  // the error record's text starts with it
  };
  const std::string not_a_map = "the command's parameters must be a map of names to values, not ";
  const std::vector<Case> cases = {
      {"throwing tick",
       {std::string("tick_once"), AnyMap{}},
       true,
       "处理命令 tick_once 时发生错误: node 'A' (Act): boom"},
      {"count of text",
       {std::string("tick_n_times"), AnyMap{{"n", std::string("3")}}},
       false,
       "处理命令 tick_n_times 时发生错误: parameter 'n' must be a 64-bit integer, not "},
      {"count of none",
       {std::string("tick_n_times"), AnyMap{{"n", std::any{}}}},
       false,
       "处理命令 tick_n_times 时发生错误: parameter 'n' must be a 64-bit integer, not "},
      {"fractional count",
       {std::string("tick_n_times"), AnyMap{{"n", 2.5}}},
       false,
       "处理命令 tick_n_times 时发生错误: parameter 'n' must be a 64-bit integer, not "},
      {"key absent",
       {std::string("get_blackboard_data"), AnyMap{}},
       false,
       "处理命令 get_blackboard_data 时发生错误: parameter 'key' must be a string, not "},
      {"key of a number",
       {std::string("set_blackboard_data"), AnyMap{{"key", 5}}},
       false,
       "处理命令 set_blackboard_data 时发生错误: parameter 'key' must be a string, not "},
      {"params not a map",
       {std::string("tick_n_times"), std::any(5)},
       false,
       "处理命令 tick_n_times 时发生错误: " + not_a_map},
      {"params none",
       {std::string("get_blackboard_data"), std::any()},
       false,
       "处理命令 get_blackboard_data 时发生错误: " + not_a_map},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    log.clear();
    boom = c.boom;
    const host::Processed processed = host::process(engine, c.command, "tree-7");
    const std::string text = std::any_cast<std::string>(processed.result.result_value);
    EXPECT_EQ(processed.result.result_type, "error");
    EXPECT_EQ(processed.result.result_tree_id, "tree-7");
    EXPECT_EQ(text.rfind(c.message, 0), 0u) << text;
    EXPECT_EQ(processed.line, text);
    EXPECT_TRUE(processed.cause) << "what the operation threw";
    EXPECT_TRUE(log.lines().empty()) << "process() leaves the line to its caller";
  }
  // Types that read no parameter do not mind parameters that are no map.
  boom = false;
  EXPECT_EQ(process({std::string("tick_once"), std::any(5)}).result_type, "tick_once");
  EXPECT_EQ(process({std::string("reset"), std::any()}).result_type, "reset");
}

// --- sending by type ---------------------------------------------------------------------------

class SendCommandTest : public ::testing::Test {
 protected:
  SendCommandTest() {
    script.install(engine);
    engine.create_tree_from_text(act_tree("T"), "t");
    log.clear();
  }
  Script script;
  LogCapture log;
  ThreadEngine engine;
};

TEST_F(SendCommandTest, UnknownTypesFailWithTheWorkersLineFirstAndTheTreeStaysUsable) {
  for (const std::string type :
       {"TICK_ONCE", "Tick_Once", "get_tree_status", "reset_tree", "", "停止"}) {
    SCOPED_TRACE(type);
    log.clear();
    const std::string message = "行为树 t 执行命令 " + type + " 失败: 未知命令类型: " + type;
    try {
      host::send_command(engine, "t", type);
      ADD_FAILURE() << "expected RuntimeError";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.what(), message);
      EXPECT_EQ(e.code(), Errc::command_failed);
    }
    EXPECT_EQ(log.lines(),
              (std::vector<LogLine>{{"error", "未知命令类型: " + type}, {"error", message}}));
    EXPECT_EQ(engine.tick_once("t"), NodeStatus::SUCCESS);
  }
}

TEST_F(SendCommandTest, EmptyOrAbsentParamsSendAnEmptyMapAndValuesComeBackUnchanged) {
  auto ticks_of = [&](std::optional<AnyMap> params) {
    const std::size_t before = script.journal().size();
    std::any value = host::send_command(engine, "t", "tick_n_times", std::move(params));
    EXPECT_EQ(std::any_cast<std::vector<NodeStatus>>(value).size(),
              script.journal().size() - before);
    return script.journal().size() - before;
  };
  EXPECT_EQ(ticks_of(std::nullopt), 1u);
  EXPECT_EQ(ticks_of(AnyMap{}), 1u);
  EXPECT_EQ(ticks_of(AnyMap{{"n", 4}}), 4u);
  EXPECT_EQ(ticks_of(AnyMap{{"other", 4}}), 1u);
  EXPECT_FALSE(
      host::send_command(engine, "t", "set_blackboard_data", AnyMap{{"key", std::string("k")}})
          .has_value());
  const AnyMap all =
      std::any_cast<AnyMap>(host::send_command(engine, "t", "get_all_blackboard_data"));
  ASSERT_EQ(all.count("k"), 1u);
  EXPECT_FALSE(all.at("k").has_value()) << "absent value: none stored";
  EXPECT_FALSE(host::send_command(engine, "t", "reset").has_value());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(SendCommandTest, FailedCommandHasTheTypesTextsItsCodeAndItsCause) {
  script.on_tick = [](TreeNode&) -> NodeStatus { throw std::out_of_range("no such cell"); };
  const std::string worker_line =
      "处理命令 tick_until_success 时发生错误: node 'T' (Act): no such cell";
  const std::string caller_line = "行为树 t 执行命令 tick_until_success 失败: " + worker_line;
  try {
    host::send_command(engine, "t", "tick_until_success");
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.what(), caller_line);
    EXPECT_EQ(e.code(), Errc::command_failed);
    try {
      std::rethrow_if_nested(e);
      ADD_FAILURE() << "nothing nested";
    } catch (const core::NodeTickError& node_error) {
      EXPECT_THROW(std::rethrow_if_nested(node_error), std::out_of_range);
    }
  }
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{"error", worker_line}, {"error", caller_line}}));
}

}  // namespace
}  // namespace kelmora::testing
