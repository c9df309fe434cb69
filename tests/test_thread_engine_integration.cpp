// The thread engine driving real trees: XML built by the core in each worker's SequentialEngine.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <thread>

#include "engine/trigger/host_protocol.hpp"
#include "support/engine_test.hpp"
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
  const AnyMap status = engine.get_tree_status(id);
  EXPECT_EQ(std::any_cast<std::string>(status.at("status")), "SUCCESS");
  EXPECT_FALSE(engine.get_blackboard_data(id, "missing").has_value());
  engine.set_blackboard_data(id, "k", std::string("v"));
  engine.reset_tree(id);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data(id, "k")), "v");
  EXPECT_EQ(engine.get_all_blackboard_data(id).size(), 1u);
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
  namespace host = engine::trigger::host;
  ThreadEngine engine;
  engine.create_tree_from_text(kOneNode, "t");
  const std::string failed = "行为树 t 执行命令 ";
  EXPECT_EQ(
      error_of([&] {
        host::send_command(engine, "t", "tick_n_times", AnyMap{{"n", std::string("3")}});
      })
          .rfind(failed + "tick_n_times 失败: 处理命令 tick_n_times 时发生错误: parameter 'n' "
                          "must be a 64-bit integer, not ",
                 0),
      0u);
  EXPECT_EQ(
      error_of([&] {
        host::send_command(engine, "t", "get_blackboard_data", AnyMap{{"key", 5}});
      })
          .rfind(failed + "get_blackboard_data 失败: 处理命令 get_blackboard_data 时发生错误: "
                          "parameter 'key' must be a string, not ",
                 0),
      0u);
  EXPECT_EQ(host::send_command(engine, "t", "tick_n_times", AnyMap{{"n", 2}}).type(),
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

// Waits for `done` with a generous limit. A hang cannot be cleaned up (the threads involved are
// stuck inside the engine), so it fails the test and ends the program at once.
void wait_or_end(std::future<void>& done, const char* what) {
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within 60 s";
    std::fflush(nullptr);
    std::_Exit(1);
  }
}

TEST(IntegrationTest, StopTreeEndsATickOfAHugeRepeatPromptly) {
  Gate beating;
  ThreadEngine engine;
  engine.register_action_behavior("Beat",
                                  [&beating](TreeNode&) {
                                    beating.open();
                                    return NodeStatus::SUCCESS;
                                  },
                                  {});
  engine.create_tree_from_text(R"(<root BTCPP_format="4"><BehaviorTree ID="T">
      <Repeat num_cycles="1000000000000"><Beat/></Repeat>
    </BehaviorTree></root>)",
                               "t");
  std::string error;
  auto ticked =
      std::async(std::launch::async, [&] { error = error_of([&] { engine.tick_once("t"); }); });
  beating.wait();
  auto stopped = std::async(std::launch::async, [&] { engine.stop_tree("t"); });
  wait_or_end(stopped, "stop_tree");
  wait_or_end(ticked, "tick_once");
  EXPECT_EQ(error,
            "行为树 t 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: tree was stopped "
            "while ticking");
  EXPECT_TRUE(engine.get_tree_ids().empty());
}

std::string core_data_path(const std::string& name) {
  const char* dir = std::getenv("KELMORA_TEST_DATA");
  return (std::filesystem::path(dir != nullptr ? dir : "tests/data") / "core" / name).string();
}

// Runs `body` with the working directory set to a fresh empty folder, then restores it.
template <class F>
void in_empty_working_directory(F&& body) {
  const auto saved = std::filesystem::current_path();
  const auto dir =
      std::filesystem::temp_directory_path() / ("kelmora-elsewhere-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  body();
  std::filesystem::current_path(saved);
  std::filesystem::remove_all(dir);
}

TEST(IntegrationTest, TreeFromAFileFindsItsIncludesNextToItLikeTheSequentialEngine) {
  in_empty_working_directory([] {
    const std::string path = core_data_path("include_main.xml");
    engine::SequentialEngine sequential;
    sequential.create_tree_from_file(path);
    EXPECT_EQ(sequential.tick_once(), NodeStatus::SUCCESS);

    ThreadEngine engine;
    const std::string id = engine.create_tree_from_file(path);
    EXPECT_EQ(engine.tick_once(id), NodeStatus::SUCCESS);
    EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data(id, "where")),
              std::any_cast<std::string>(sequential.get_blackboard_data("where")));
  });
}

TEST(IntegrationTest, BuildErrorsOfATreeFromAFileNameTheFileLikeTheSequentialEngine) {
  const std::string path = core_data_path("bad_line.xml");
  engine::SequentialEngine sequential;
  const std::string expected = error_of([&] { sequential.create_tree_from_file(path); });
  ASSERT_EQ(expected.rfind(path + ":5: ", 0), 0u) << expected;

  ThreadEngine engine;
  engine.create_tree_from_file(path, "t");
  EXPECT_EQ(error_of([&] { engine.tick_once("t"); }),
            "行为树 t 执行命令 tick_once 失败: 行为树线程 t 发生错误: " + expected);
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
