// RunAgent: an agent streaming inside the tree, against the stand-in model server — the answer and
// thinking grow across ticks, failures give FAILURE with the server's error, a halt closes the
// connection, and two RunAgent nodes under one Parallel stream at the same time.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/server_address.hpp>
#include <memory>
#include <string>
#include <vector>

#include "standin/standin_server.hpp"
#include "support/log_capture.hpp"

namespace kelmora::llm {
namespace {

using namespace std::chrono_literals;
using core::NodeStatus;
using kelmora::testing::StandinOptions;
using kelmora::testing::StandinServer;

std::shared_ptr<Agent> agent_on(const StandinServer& server, const std::string& model,
                                const std::string& description = "") {
  Ollama::Options options;
  options.id = model;
  options.server = parse_ollama_host(server.address());
  return std::make_shared<Agent>(
      Agent::Options{.model = std::make_shared<Ollama>(options), .description = description});
}

std::string tree_with(const std::string& body) {
  return R"(<root BTCPP_format="4"><BehaviorTree ID="MainTree">)" + body + "</BehaviorTree></root>";
}

std::string run_agent(const std::string& suffix, const std::string& input = "{input}") {
  return "<RunAgent agent=\"{agent" + suffix + "}\" user_input=\"" + input + "\" answer=\"{answer" +
         suffix + "}\" thinking=\"{thinking" + suffix + "}\" error=\"{error" + suffix + "}\"/>";
}

std::unique_ptr<engine::SequentialEngine> engine_with(const std::string& body) {
  auto engine = std::make_unique<engine::SequentialEngine>();
  engine->register_action_behavior("RunAgent", &RunAgent::tick, RunAgent::ports);
  engine->create_tree_from_text(tree_with(body));
  return engine;
}

std::string text_at(engine::SequentialEngine& engine, const std::string& key) {
  std::any value = engine.get_blackboard_data(key);
  if (!value.has_value()) return "<unwritten>";
  return std::any_cast<std::string>(value);
}

TEST(RunAgentTest, PortsListIsAsDeclared) {
  using core::make_port;
  EXPECT_EQ(RunAgent::ports, (core::PortsList{make_port("agent", "object", "input", ""),
                                              make_port("user_input", "string", "input", ""),
                                              make_port("answer", "string", "output", ""),
                                              make_port("thinking", "string", "output", ""),
                                              make_port("error", "string", "output", "")}));
  EXPECT_TRUE(engine::trigger::action_class<RunAgent>().derives_from_simple_action_node);
}

// The answer grows across ticks and is whole at SUCCESS; a thinking model's thinking goes to its
// own output.
TEST(RunAgentTest, StreamsTheAnswerAndTheThinkingAcrossTicks) {
  StandinOptions options;
  options.piece_delay_ms = 2;
  StandinServer server(options);
  for (const std::string model : {"qwen3:30b", "think:qwen3"}) {
    SCOPED_TRACE(model);
    auto engine = engine_with(run_agent(""));
    engine->set_blackboard_data("agent", agent_on(server, model, "be brief"));
    engine->set_blackboard_data("input", std::string("中国上海的新闻"));
    engine->set_blackboard_data("error", std::string("untouched"));
    EXPECT_EQ(engine->tick_once(), NodeStatus::RUNNING);  // the first piece is 2 ms away
    std::vector<std::string> seen{text_at(*engine, "answer")};
    NodeStatus status = NodeStatus::RUNNING;
    while (status == NodeStatus::RUNNING) {
      status = engine->tick_n_times(1).at(0);
      seen.push_back(text_at(*engine, "answer"));
    }
    EXPECT_EQ(status, NodeStatus::SUCCESS);
    const std::string answer = StandinServer::answer(model, "be brief", "中国上海的新闻");
    EXPECT_EQ(seen.back(), answer);
    for (std::size_t i = 1; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].compare(0, seen[i - 1].size(), seen[i - 1]), 0) << "only grows";
    }
    std::string thinking;
    if (model.starts_with("think:")) {
      for (const auto& line : StandinServer::thinking_pieces(options.thinking_lines)) {
        thinking += line;
      }
    }
    EXPECT_EQ(text_at(*engine, "thinking"), thinking);
    EXPECT_EQ(text_at(*engine, "error"), "untouched");
  }
}

TEST(RunAgentTest, AWaitingTickLoopIsWokenByEachPiece) {
  StandinOptions options;
  options.piece_delay_ms = 1;
  StandinServer server(options);
  auto engine = engine_with(run_agent(""));
  engine->set_tick_period(std::chrono::hours(1));  // only the pieces can wake it
  engine->set_blackboard_data("agent", agent_on(server, "m"));
  engine->set_blackboard_data("input", std::string("hello"));
  // Ends (an hour's period would otherwise hold it) with the whole answer; one tick when the
  // whole answer came before the first tick took it.
  EXPECT_GE(engine->tick_until_success(), 1);
  EXPECT_EQ(text_at(*engine, "answer"), StandinServer::answer("m", "", "hello"));
}

struct FailureCase {
  std::string model;
  std::string answer_before;  // what arrived before the failure
  std::string detail;
};

TEST(RunAgentTest, AServerFailureGivesFailureWithTheErrorAndWhatCameBefore) {
  StandinServer server;
  const std::string address = "http://" + server.address();
  const std::vector<std::string> pieces =
      StandinServer::answer_pieces(StandinServer::answer("fail:error-line", "", "q"), 4);
  const std::vector<FailureCase> cases = {
      {"fail:error-line", pieces.at(0) + pieces.at(1),
       "the server reported an error: stand-in: failure requested: the model stopped"},
      {"fail:404", "", "HTTP status 404: model \"fail:404\" not found, try pulling it first"},
      {"fail:400", "", "HTTP status 400: stand-in: failure requested: bad request"},
      {"fail:no-done", pieces.at(0) + pieces.at(1),
       "the answer ended without its final \"done\" line, so it is incomplete"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    auto engine = engine_with(run_agent("", "q"));
    engine->set_tick_period(1ms);
    engine->set_blackboard_data("agent", agent_on(server, c.model));
    engine->tick_until_failure();
    EXPECT_EQ(text_at(*engine, "error"),
              "Ollama server " + address + " (model \"" + c.model + "\"): " + c.detail);
    EXPECT_EQ(text_at(*engine, "answer"), c.answer_before);
  }
}

TEST(RunAgentTest, NoAgentFailsTheTick) {
  auto engine = engine_with(run_agent("", "q"));
  try {
    engine->tick_once();
    ADD_FAILURE() << "no error";
  } catch (const core::NodeTickError& e) {
    EXPECT_NE(
        std::string(e.what()).find(
            "RunAgent: the input \"agent\" holds nothing (no agent was written to its entry)"),
        std::string::npos)
        << e.what();
  }
}

// A halt (here a Timeout's, while the server stalls) closes the connection: the stand-in sees the
// client go away. Another RunAgent can then run on the same node again.
TEST(RunAgentTest, AHaltClosesTheConnection) {
  StandinServer server;
  auto engine = engine_with("<Timeout msec=\"50\">" + run_agent("", "q") + "</Timeout>");
  engine->set_blackboard_data("agent", agent_on(server, "fail:stall"));
  EXPECT_GE(engine->tick_until_failure(), 1);
  EXPECT_TRUE(server.wait_for_hangups(1, 30s));
  EXPECT_EQ(server.hangups(), 1u);
}

// Stopping a tree inside tick_until_success while RunAgent streams halts it on the worker, which
// closes the connection.
TEST(RunAgentTest, StopTreeHaltsAStreamingRunAndClosesTheConnection) {
  kelmora::testing::LogCapture log;
  StandinServer server;
  engine::trigger::ThreadEngine engine(
      engine::trigger::EngineOptions{.tick_period = std::chrono::hours(1)});
  engine.register_action_class<RunAgent>("RunAgent");
  engine.create_tree_from_text(tree_with(run_agent("", "q")), "t");
  engine.set_blackboard_data("t", "agent", agent_on(server, "fail:stall"));
  auto loop = std::async(std::launch::async, [&] {
    try {
      engine.tick_until_success("t");
      return std::string("(no error)");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  ASSERT_TRUE(server.wait_for_requests(1, 30s));
  engine.stop_tree("t");
  EXPECT_TRUE(server.wait_for_hangups(1, 30s));  // the stand-in notices on its own thread
  EXPECT_NE(loop.get().find("tree was stopped while ticking"), std::string::npos);
}

// Under one Parallel both runs start in the first tick and stream at once: the server has both
// requests while the tree is still RUNNING, and each answer is whole at the end.
TEST(RunAgentTest, TwoRunsUnderParallelStreamAtTheSameTime) {
  StandinOptions options;
  options.piece_delay_ms = 5;
  StandinServer server(options);
  auto engine = engine_with("<Parallel success_count=\"2\" failure_count=\"1\">" +
                            run_agent("1", "first question") + run_agent("2", "second question") +
                            "</Parallel>");
  engine->set_blackboard_data("agent1", agent_on(server, "a"));
  engine->set_blackboard_data("agent2", agent_on(server, "b"));
  EXPECT_EQ(engine->tick_once(), NodeStatus::RUNNING);
  ASSERT_TRUE(server.wait_for_requests(2, 30s));
  EXPECT_EQ(engine->tick_once(), NodeStatus::RUNNING);  // answers take 5 ms a piece
  engine->tick_until_success();
  EXPECT_EQ(text_at(*engine, "answer1"), StandinServer::answer("a", "", "first question"));
  EXPECT_EQ(text_at(*engine, "answer2"), StandinServer::answer("b", "", "second question"));
}

}  // namespace
}  // namespace kelmora::llm
