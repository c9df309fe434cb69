// ThreadEngine: scripting enums and tree definitions registered once and replayed into every
// tree's worker, in order with the action registrations; trees created by BehaviorTree ID.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

namespace fs = std::filesystem;
using core::NodeStatus;
using core::TreeNode;
using engine::trigger::ThreadEngine;
using Ids = std::vector<std::string>;

std::string doc(const std::string& trees) {
  return R"(<root BTCPP_format="4">)" + trees + "</root>";
}
std::string tree(const std::string& id, const std::string& body) {
  return "<BehaviorTree ID=\"" + id + "\">" + body + "</BehaviorTree>";
}

TEST(EngineDefinitionsTest, RegistrationsAreLoggedAndReplayedInOrderIntoLaterTrees) {
  LogCapture log;
  ThreadEngine engine;
  log.clear();
  engine.register_scripting_enum("BUSY", 7);
  EXPECT_EQ(engine.register_tree_text(doc(tree("Check", R"(<Sequence><Work/>
              <Script code="state := BUSY"/><ScriptCondition code="state == 7"/></Sequence>)"))),
            (Ids{"Check"}));
  engine.register_action_behavior("Work", [](TreeNode&) { return NodeStatus::SUCCESS; }, {});
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"注册脚本枚举: BUSY = 7",
                                                   "注册行为树定义: Check", "注册动作节点: Work"}));
  log.clear();
  EXPECT_EQ(engine.create_tree_by_name("Check", "by name"), "by name");
  EXPECT_EQ(
      engine.create_tree_from_text(doc(tree("M", R"(<SubTree ID="Check" _autoremap="true"/>)"))),
      "tree_1");
  EXPECT_EQ(engine.tick_once("by name"), NodeStatus::SUCCESS);
  EXPECT_EQ(engine.tick_once("tree_1"), NodeStatus::SUCCESS);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"创建行为树: by name", "创建行为树: tree_1"}));
}

TEST(EngineDefinitionsTest, EnumsAndTreesReachEveryWorkerAndOnlyLaterOnes) {
  ThreadEngine engine;
  engine.register_action_behavior("Work", [](TreeNode&) { return NodeStatus::SUCCESS; }, {});
  engine.register_tree_text(doc(tree("Check", R"(<ScriptCondition code="x == RED"/>)")));
  engine.create_tree_by_name("Check", "before");
  // A worker replays the registrations present when it starts: a first command waits for that.
  engine.get_tree_status("before");
  engine.register_scripting_enum("RED", 1);
  engine.create_tree_by_name("Check", "after");
  engine.set_blackboard_data("before", "x", std::int64_t{1});
  engine.set_blackboard_data("after", "x", std::int64_t{1});
  const std::string error = error_of([&] { engine.tick_once("before"); });
  EXPECT_NE(error.find("Entry 'RED' doesn't exist"), std::string::npos) << error;
  EXPECT_EQ(engine.tick_once("after"), NodeStatus::SUCCESS);
  // Several trees, on their own workers, share the registered documents.
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(engine.create_tree_by_name("Check"));
  std::vector<std::thread> callers;
  for (const auto& id : ids) {
    callers.emplace_back([&engine, id] {
      engine.set_blackboard_data(id, "x", std::int64_t{1});
      EXPECT_EQ(engine.tick_once(id), NodeStatus::SUCCESS);
    });
  }
  for (auto& caller : callers) caller.join();
}

TEST(EngineDefinitionsTest, RefusedRegistrationsAreNeitherLoggedNorStored) {
  LogCapture log;
  ThreadEngine engine;
  engine.register_scripting_enum("RED", 1);
  engine.register_tree_text(doc(tree("A", "<AlwaysSuccess/>")));
  log.clear();
  EXPECT_THROW(engine.register_scripting_enum("RED", 2), ValueError);
  EXPECT_THROW(engine.register_scripting_enums({{"GREEN", 2}, {"1x", 3}}), ValueError);
  EXPECT_THROW(engine.register_tree_text(doc(tree("A", "<AlwaysFailure/>"))), core::TreeBuildError);
  EXPECT_THROW(engine.register_tree_text("<root>"), core::TreeBuildError);
  EXPECT_THROW(engine.register_tree_file("/no/such/file.xml"), core::TreeFileError);
  EXPECT_THROW(engine.register_tree_folder("/no/such/folder"), core::TreeFileError);
  EXPECT_TRUE(log.texts().empty());
  // GREEN was refused with its batch; A is still the first definition.
  engine.register_tree_text(doc(tree("G", R"(<ScriptCondition code="GREEN == 2"/>)")));
  engine.create_tree_by_name("G", "g");
  EXPECT_THROW(engine.tick_once("g"), RuntimeError);
  engine.create_tree_by_name("A", "a");
  EXPECT_EQ(engine.tick_once("a"), NodeStatus::SUCCESS);
}

TEST(EngineDefinitionsTest, CreatingAnUnregisteredNameFailsAtOnceCreatingNothing) {
  LogCapture log;
  ThreadEngine engine;
  engine.register_tree_text(doc(tree("Known", "<AlwaysSuccess/>")));
  log.clear();
  try {
    engine.create_tree_by_name("Unknown", "x");
    FAIL() << "created";
  } catch (const core::TreeBuildError& e) {
    EXPECT_STREQ(e.what(),
                 "cannot create tree 'Unknown': no BehaviorTree with this ID is registered "
                 "(registered: Known)");
  }
  EXPECT_TRUE(engine.get_tree_ids().empty());
  EXPECT_TRUE(log.texts().empty());
  engine.create_tree_by_name("Known", "x");
  EXPECT_THROW(engine.create_tree_by_name("Known", "x"), ValueError) << "duplicate tree id";
}

TEST(EngineDefinitionsTest, TreesMadeByNameRecordTheDocumentThatDefinesThem) {
  const fs::path dir =
      fs::temp_directory_path() / ("kelmora_engine_defs_" + std::to_string(::getpid()));
  fs::create_directories(dir / "sub");
  const std::string text = doc(tree("FromFile", "<AlwaysSuccess/>"));
  std::ofstream(dir / "sub" / "a.xml") << text;
  ThreadEngine engine;
  EXPECT_EQ(engine.register_tree_folder(dir.string()), (Ids{"FromFile"}));
  engine.register_tree_text(doc(tree("FromText", "<AlwaysFailure/>")));
  engine.create_tree_by_name("FromFile", "f");
  engine.create_tree_by_name("FromText", "t");
  engine.create_tree_from_text(doc(tree("Plain", "<AlwaysSuccess/>")), "p");
  const auto infos = engine.trees();
  fs::remove_all(dir);
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(infos[0].tree_name, "FromFile");
  EXPECT_EQ(infos[0].file_path, (dir / "sub" / "a.xml").string());
  EXPECT_EQ(infos[0].xml_text, text);
  EXPECT_EQ(infos[1].tree_name, "FromText");
  EXPECT_EQ(infos[1].file_path, std::nullopt);
  EXPECT_EQ(infos[2].tree_name, std::nullopt);
  EXPECT_EQ(engine.tick_once("f"), NodeStatus::SUCCESS)
      << "the file is gone: the parsed text stays";
}

}  // namespace
}  // namespace kelmora::testing
