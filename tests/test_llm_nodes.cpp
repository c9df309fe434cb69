// The agent action node classes, ticked in real trees against the stand-in model server.

#include <gtest/gtest.h>

#include <cstdlib>
#include <kelmora/core/any.hpp>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <memory>
#include <string>

#include "demo/example_tree.hpp"
#include "standin/standin_server.hpp"
#include "support/log_capture.hpp"

namespace kelmora::llm {
namespace {

using kelmora::testing::StandinServer;

constexpr const char* kDescription =
    "You are an enthusiastic news reporter with a flair for storytelling!";

// Points OLLAMA_HOST at a server for the test's length.
class OllamaHost {
 public:
  explicit OllamaHost(const std::string& value) { ::setenv("OLLAMA_HOST", value.c_str(), 1); }
  ~OllamaHost() { ::unsetenv("OLLAMA_HOST"); }
};

std::string tree_with(const std::string& body) {
  return "<root BTCPP_format=\"4\"><BehaviorTree ID=\"MainTree\">" + body +
         "</BehaviorTree></root>";
}

const std::string kCreateOnly =
    tree_with("<CreateAgentOllama model_id=\"qwen3:30b\" agent=\"{agent}\" description=\"" +
              std::string(kDescription) + "\"/>");
const std::string kRunOnly = tree_with(
    "<GetStreamResponse agent=\"{agent}\" instructions=\"{instructions}\" "
    "user_input=\"{user_input}\" response_stream=\"{response_stream}\"/>");

std::unique_ptr<SequentialEngine> engine_with(const std::string& xml) {
  auto engine = std::make_unique<SequentialEngine>();
  engine->register_action_behavior("CreateAgentOllama", &CreateAgentOllama::tick,
                                   CreateAgentOllama::ports);
  engine->register_action_behavior("GetStreamResponse", &GetStreamResponse::tick,
                                   GetStreamResponse::ports);
  engine->create_tree_from_text(xml);
  return engine;
}

std::shared_ptr<Agent> agent_in(const std::any& value) {
  auto* agent = std::any_cast<std::shared_ptr<Agent>>(&value);
  return agent != nullptr ? *agent : nullptr;
}

std::string drain(const std::any& value) {
  auto* stream = std::any_cast<std::shared_ptr<ResponseStream>>(&value);
  if (stream == nullptr || !*stream) return "<no stream>";
  std::string text;
  for (const auto& item : **stream) text += item.content;
  return text;
}

std::string expected_answer(const std::string& user) {
  return StandinServer::answer(
      "qwen3:30b", std::string(kDescription) + " " + std::string(kMarkdownInstruction), user);
}

TEST(AgentNodesTest, PortsListsAreExactlyAsDeclared) {
  using core::make_port;
  EXPECT_EQ(CreateAgentOllama::ports,
            (core::PortsList{make_port("model_id", "string", "input", ""),
                             make_port("description", "string", "input", ""),
                             make_port("agent", "object", "output", "")}));
  EXPECT_EQ(GetStreamResponse::ports,
            (core::PortsList{make_port("agent", "object", "input", ""),
                             make_port("instructions", "object", "input", ""),
                             make_port("response_stream", "object", "output", ""),
                             make_port("user_input", "string", "input", "")}));
  auto cls = engine::trigger::action_class<GetStreamResponse>();
  EXPECT_EQ(cls.name, "GetStreamResponse");
  EXPECT_TRUE(cls.derives_from_simple_action_node);
  EXPECT_TRUE(cls.tick.has_value());
  EXPECT_EQ(cls.ports, GetStreamResponse::ports);
  EXPECT_EQ(engine::trigger::action_class<CreateAgentOllama>().name, "CreateAgentOllama");
}

TEST(AgentNodesTest, CreateAgentOllamaWritesAnAgentOnTheModelWithMarkdownOn) {
  StandinServer server;
  OllamaHost host(server.address());
  auto engine = engine_with(kCreateOnly);
  EXPECT_EQ(engine->tick_once(), core::NodeStatus::SUCCESS);
  auto agent = agent_in(engine->get_blackboard_data("agent"));
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(agent->model()->id(), "qwen3:30b");
  EXPECT_EQ(agent->model()->server().url(), "http://" + server.address());
  EXPECT_EQ(agent->description(), kDescription);
  EXPECT_TRUE(agent->markdown());
  EXPECT_TRUE(server.requests().empty());  // making an agent asks nothing
}

TEST(AgentNodesTest, TwoTicksGiveTwoAgentsTheSecondReplacingTheFirst) {
  auto engine = engine_with(kCreateOnly);
  engine->tick_once();
  auto first = agent_in(engine->get_blackboard_data("agent"));
  engine->tick_once();
  auto second = agent_in(engine->get_blackboard_data("agent"));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_NE(first->model(), second->model());
}

TEST(AgentNodesTest, FailedAgentCreationKeepsTheAgentEntry) {
  OllamaHost host("not a host");
  auto engine = engine_with(kCreateOnly);
  engine->set_blackboard_data("agent", std::string("before"));
  try {
    engine->tick_once();
    FAIL() << "tick succeeded";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("invalid Ollama server address \"not a host\""),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(core::any_to_text(engine->get_blackboard_data("agent")), "before");
}

TEST(AgentNodesTest, ExampleTreeTickLeavesTheWholeAnswerUnreadInTheStream) {
  StandinServer server;
  OllamaHost host(server.address());
  auto engine = engine_with(std::string(demo::kExampleTreeXml));
  engine->set_blackboard_data("user_input", std::string("中国上海的新闻"));
  engine->tick_once();  // RUNNING: KeepRunningUntilFailure turns its child's SUCCESS into RUNNING
  EXPECT_FALSE(engine->get_blackboard_data("instructions").has_value());
  EXPECT_EQ(drain(engine->get_blackboard_data("response_stream")),
            expected_answer("中国上海的新闻"));
}

TEST(AgentNodesTest, EachTickStartsANewRunAndReplacesTheStream) {
  StandinServer server;
  OllamaHost host(server.address());
  auto engine = engine_with(std::string(demo::kExampleTreeXml));
  engine->set_blackboard_data("user_input", std::string("one"));
  engine->tick_once();
  std::any first = engine->get_blackboard_data("response_stream");
  engine->set_blackboard_data("user_input", std::string("two"));
  engine->tick_once();
  std::any second = engine->get_blackboard_data("response_stream");
  EXPECT_EQ(drain(second), expected_answer("two"));
  EXPECT_EQ(drain(first), expected_answer("one"));
  EXPECT_EQ(server.requests().size(), 2u);
}

struct MissingAgentCase {
  std::string name;
  std::any agent;  // what the agent entry holds; empty: never written
  std::string held;
};

TEST(AgentNodesTest, NoAgentFailsTheTickAndKeepsTheResponseStreamEntry) {
  const std::vector<MissingAgentCase> cases = {
      {"unwritten", std::any(), "nothing (no agent was written to its entry)"},
      {"integer", std::any(std::int64_t{5}), "a value of kind std::int64_t"},
      {"null agent", std::any(std::shared_ptr<Agent>()), "an empty agent pointer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = engine_with(kRunOnly);
    if (c.agent.has_value()) engine->set_blackboard_data("agent", c.agent);
    engine->set_blackboard_data("user_input", std::string("q"));
    engine->set_blackboard_data("response_stream", std::string("previous"));
    try {
      engine->tick_once();
      ADD_FAILURE() << "tick succeeded";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("GetStreamResponse: the input \"agent\" holds " +
                                           c.held + ", not an agent made by CreateAgentOllama"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(core::any_to_text(engine->get_blackboard_data("response_stream")), "previous");
  }
}

TEST(AgentNodesTest, TwoTreesOfOneEngineGetTheirOwnAgentsAndAnswers) {
  kelmora::testing::LogCapture log;
  StandinServer server;
  OllamaHost host(server.address());
  ThreadEngine engine;
  engine.register_action_class<CreateAgentOllama>("CreateAgentOllama");
  engine.register_action_class<GetStreamResponse>("GetStreamResponse");
  const std::string xml(demo::kExampleTreeXml);
  engine.create_tree_from_text(xml, "tree0");
  engine.create_tree_from_text(xml, "tree1");
  engine.set_blackboard_data("tree0", "user_input", std::string("中国上海的新闻"));
  engine.set_blackboard_data("tree1", "user_input", std::string("中国北京的新闻"));
  engine.tick_once("tree0");
  engine.tick_once("tree1");

  auto agent0 = agent_in(engine.get_blackboard_data("tree0", "agent"));
  auto agent1 = agent_in(engine.get_blackboard_data("tree1", "agent"));
  ASSERT_NE(agent0, nullptr);
  ASSERT_NE(agent1, nullptr);
  EXPECT_NE(agent0, agent1);
  // Consumed on this thread, after the ticks, in the opposite order of their making.
  EXPECT_EQ(drain(engine.get_blackboard_data("tree1", "response_stream")),
            expected_answer("中国北京的新闻"));
  EXPECT_EQ(drain(engine.get_blackboard_data("tree0", "response_stream")),
            expected_answer("中国上海的新闻"));
  engine.stop_all_trees();
}

}  // namespace
}  // namespace kelmora::llm
