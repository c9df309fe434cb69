// The thread engine driving real trees: XML built by the core in each worker's SequentialEngine.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <kelmora/engine/trigger/mthread.hpp>
#include <thread>

#include "support/fake_worker_engine.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::AnyMap;
using core::NodeStatus;
using core::TreeNode;
using engine::trigger::ThreadEngine;

const char* const kOneNode =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/></BehaviorTree></root>)";

// Copies its input to its output, so each tree's blackboard shows which input it was given.
struct Echo : nodes::SimpleActionNode {
  static NodeStatus tick(TreeNode& node) {
    node.setOutput("out", node.getInputString("text") + "!");
    return NodeStatus::SUCCESS;
  }
  static inline const core::PortsList ports = {core::make_port("text", "string", "input"),
                                               core::make_port("out", "object", "output")};
};

const char* const kEchoTree = R"(<root BTCPP_format="4">
  <BehaviorTree ID="Main">
    <Sequence>
      <Echo text="{input}" out="{answer}"/>
    </Sequence>
  </BehaviorTree>
</root>)";

TEST(IntegrationTest, OneNodeTreeAnswersEveryOperation) {
  ThreadEngine engine;
  const std::string id = engine.create_tree_from_text(kOneNode);
  EXPECT_EQ(engine.tick_once(id), NodeStatus::SUCCESS);
  EXPECT_EQ(engine.tick_until_success(id), 1);
  EXPECT_EQ(engine.tick_n_times(id, 3), std::vector<NodeStatus>(3, NodeStatus::SUCCESS));
  EXPECT_EQ(engine.tick_n_times(id, 0), std::vector<NodeStatus>{});
  auto status = engine.get_tree_status(id);
  ASSERT_TRUE(status);
  EXPECT_EQ(std::any_cast<std::string>(status->at("status")), "SUCCESS");
  EXPECT_FALSE(engine.get_blackboard_data(id, "missing").has_value());
  engine.set_blackboard_data(id, "k", std::string("v"));
  engine.reset_tree(id);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data(id, "k")), "v");
  auto all = engine.get_all_blackboard_data(id);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 1u);
}

TEST(IntegrationTest, TwoTreesFromOneXmlKeepTheirOwnBlackboards) {
  LogCapture log;
  ThreadEngine engine;
  engine.register_action_class<Echo>();
  engine.create_tree_from_text(kEchoTree, "a");
  engine.create_tree_from_text(kEchoTree, "b");
  engine.set_blackboard_data("a", "input", std::string("alpha"));
  engine.set_blackboard_data("b", "input", std::string("beta"));
  std::thread ta([&] { EXPECT_EQ(engine.tick_once("a"), NodeStatus::SUCCESS); });
  std::thread tb([&] { EXPECT_EQ(engine.tick_once("b"), NodeStatus::SUCCESS); });
  ta.join();
  tb.join();
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("a", "answer")), "alpha!");
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("b", "answer")), "beta!");
  EXPECT_TRUE(log.texts("error").empty());
}

TEST(IntegrationTest, XmlTheCoreRefusesFailsTheFirstCommandWithTheCoresMessage) {
  LogCapture log;
  ThreadEngine engine;
  // Echo is not registered, so the core cannot build the tree.
  EXPECT_EQ(engine.create_tree_from_text(kEchoTree, "t"), "t");
  const std::string error = error_of([&] { engine.tick_once("t"); });
  const std::string prefix = "行为树 t 执行命令 tick_once 失败: 行为树线程 t 发生错误: ";
  ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
  const auto errors = log.texts("error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], error.substr(std::string("行为树 t 执行命令 tick_once 失败: ").size()));
  EXPECT_EQ(errors[1], error);
  EXPECT_EQ(error_of([&] { engine.tick_once("t"); }),
            "行为树 t 执行命令 tick_once 失败: 工作线程已结束");
}

TEST(IntegrationTest, ParametersOfTheWrongKindFailTheCommandOnly) {
  ThreadEngine engine;
  engine.create_tree_from_text(kOneNode, "t");
  EXPECT_EQ(error_of([&] {
              engine._send_command("t", "tick_n_times", AnyMap{{"n", std::string("3")}});
            }),
            "行为树 t 执行命令 tick_n_times 失败: 处理命令 tick_n_times 时发生错误: 'str' object "
            "cannot be interpreted as an integer");
  EXPECT_EQ(error_of([&] {
              engine._send_command("t", "get_blackboard_data", AnyMap{{"key", 5}});
            }),
            "行为树 t 执行命令 get_blackboard_data 失败: 处理命令 get_blackboard_data 时发生错误: "
            "blackboard key must be str, got int");
  EXPECT_EQ(error_of([&] { engine._send_command("t", "get_blackboard_data"); }),
            "行为树 t 执行命令 get_blackboard_data 失败: 处理命令 get_blackboard_data 时发生错误: "
            "blackboard key must be str, got NoneType");
  EXPECT_EQ(engine._send_command("t", "tick_n_times", AnyMap{{"n", 2}}).type(),
            typeid(std::vector<NodeStatus>));
  EXPECT_EQ(engine.tick_once("t"), NodeStatus::SUCCESS);
}

TEST(IntegrationTest, StopEndsAnEndlessTickUntilFailure) {
  Gate beating;
  ThreadEngine engine;
  engine.register_action_behavior("Beat",
                                  [&beating](TreeNode&) {
                                    beating.open();
                                    return NodeStatus::SUCCESS;
                                  },
                                  {});
  engine.create_tree_from_text(R"(<root BTCPP_format="4"><BehaviorTree ID="T">
      <KeepRunningUntilFailure><Beat/></KeepRunningUntilFailure>
    </BehaviorTree></root>)",
                               "t");
  std::string error;
  std::thread caller([&] { error = error_of([&] { engine.tick_until_failure("t"); }); });
  beating.wait();
  engine.stop_tree("t");
  caller.join();
  EXPECT_EQ(error.rfind("行为树 t 执行命令 tick_until_failure 失败: 处理命令 tick_until_failure "
                        "时发生错误: ",
                        0),
            0u)
      << error;
  EXPECT_TRUE(engine.get_tree_ids().empty());
}

TEST(IntegrationTest, TreeFromAFileWithWindowsLineEnds) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("kelmora-integration-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "tree.xml").string();
  std::ofstream(path, std::ios::binary)
      << "<root BTCPP_format=\"4\">\r\n<BehaviorTree ID=\"T\">\r\n<AlwaysFailure/>\r\n"
         "</BehaviorTree>\r\n</root>\r\n";
  ThreadEngine engine;
  const std::string id = engine.create_tree_from_file(path);
  EXPECT_EQ(engine.tick_until_failure(id), 1);
  std::filesystem::remove_all(dir);
}

TEST(IntegrationTest, OneTickFunctionRunsOnSeveralWorkersAtOnce) {
  std::atomic<int> ticks{0};
  ThreadEngine engine;
  engine.register_action_behavior("Count",
                                  [&ticks](TreeNode&) {
                                    ++ticks;
                                    return NodeStatus::SUCCESS;
                                  },
                                  {});
  const std::string xml =
      R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Count/></BehaviorTree></root>)";
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    const std::string id = engine.create_tree_from_text(xml);
    callers.emplace_back([&engine, id] {
      for (int i = 0; i < 50; ++i) engine.tick_once(id);
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(ticks, 200);
}

}  // namespace
}  // namespace kelmora::testing
