// BehaviorTree definitions registered from texts, files and folders: SubTrees resolved against
// them, trees created by ID, includes relative to their file, duplicate and missing IDs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <kelmora/core/tree_definitions.hpp>
#include <kelmora/engine/sequential_engine.hpp>
#include <string>
#include <vector>

#include "core_test_helpers.hpp"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using core::NodeStatus;
using testing::ScriptedActions;
using namespace testing::statuses;
using Ids = std::vector<std::string>;

// One BehaviorTree element: <BehaviorTree ID="id">body</BehaviorTree>.
std::string tree(const std::string& id, const std::string& body) {
  return "<BehaviorTree ID=\"" + id + "\">" + body + "</BehaviorTree>";
}
std::string doc(const std::string& content, const std::string& root_attributes = "") {
  return "<root BTCPP_format=\"4\"" + root_attributes + ">" + content + "</root>";
}

// A folder of tree files for one test, removed afterwards.
class TreeFolder {
 public:
  explicit TreeFolder(const std::string& name)
      : root_(fs::temp_directory_path() / ("kelmora_" + name + "_" + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~TreeFolder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string write(const std::string& relative, const std::string& text) const {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
  }
  std::string path() const { return root_.string(); }

 private:
  fs::path root_;
};

std::string build_error(const std::function<void()>& build) {
  try {
    build();
  } catch (const core::TreeBuildError& e) {
    return e.what();
  }
  return "<built>";
}

TEST(TreeRegistryTest, SubTreesResolveAgainstRegisteredTexts) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  EXPECT_EQ(engine.register_tree_text(doc(tree("Inner", "<A/>") + tree("Other", "<A/>"))),
            (Ids{"Inner", "Other"}));
  engine.create_tree_from_text(
      doc(tree("Main", R"(<Sequence><SubTree ID="Inner"/><SubTree ID="Inner"/></Sequence>)")));
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(actions.take_trace(), "A A");
}

TEST(TreeRegistryTest, CreateByNameBuildsARegisteredTreeWhateverItsDocumentSaysIsMain) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  actions.add(engine, "B", {F});
  engine.register_tree_text(doc(
      tree("First", "<A/>") + tree("Second", R"(<Sequence><B/><SubTree ID="First"/></Sequence>)"),
      " main_tree_to_execute=\"First\""));
  engine.create_tree_by_name("Second");
  EXPECT_EQ(engine.tick_once(), F);
  EXPECT_EQ(actions.take_trace(), "B");
  EXPECT_EQ(std::any_cast<std::string>(engine.get_tree_status().at("root")), "Sequence");
}

TEST(TreeRegistryTest, TheDocumentsOwnTreesWinOverRegisteredOnes) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  actions.add(engine, "B", {S});
  engine.register_tree_text(doc(tree("Inner", "<A/>")));
  engine.create_tree_from_text(doc(tree("Main", R"(<SubTree ID="Inner"/>)") + tree("Inner", "<B/>"),
                                   " main_tree_to_execute=\"Main\""));
  engine.tick_once();
  EXPECT_EQ(actions.take_trace(), "B");
}

TEST(TreeRegistryTest, MainTreeToExecuteMayNameARegisteredTree) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  engine.register_tree_text(doc(tree("Registered", "<A/>")));
  engine.create_tree_from_text(doc("", " main_tree_to_execute=\"Registered\""));
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(actions.take_trace(), "A");
}

TEST(TreeRegistryTest, ARegisteredTreeNamingAnUnknownNodeFailsWhenUsedNotWhenRegistered) {
  engine::SequentialEngine engine;
  EXPECT_NO_THROW(engine.register_tree_text(doc(tree("Broken", "<NoSuchNode/>"))));
  const std::string message = build_error([&] { engine.create_tree_by_name("Broken"); });
  EXPECT_EQ(message, "<xml text>:1: unknown node type 'NoSuchNode'") << message;
  EXPECT_FALSE(engine.has_tree());
}

TEST(TreeRegistryTest, MissingTreesAreErrorsNamingTheIdAndWhatIsRegistered) {
  engine::SequentialEngine engine;
  EXPECT_EQ(build_error([&] { engine.create_tree_by_name("Nowhere"); }),
            "cannot create tree 'Nowhere': no BehaviorTree with this ID is registered (none is "
            "registered)");
  TreeFolder folder("missing");
  engine.register_tree_file(folder.write("a.xml", doc(tree("A1", "<AlwaysSuccess/>"))));
  engine.register_tree_text(doc(tree("T1", "<AlwaysSuccess/>")));
  EXPECT_EQ(build_error([&] { engine.create_tree_by_name("Nowhere"); }),
            "cannot create tree 'Nowhere': no BehaviorTree with this ID is registered "
            "(registered: A1, T1)");
  EXPECT_EQ(
      build_error([&] { engine.create_tree_from_text(doc(tree("M", R"(<SubTree ID="Gone"/>)"))); }),
      "<xml text>:1: SubTree refers to unknown BehaviorTree 'Gone' (not in this document, "
      "nor in the registered tree definitions: " +
          folder.path() + "/a.xml, <xml text>)");
}

TEST(TreeRegistryTest, DuplicateIdsAcrossDocumentsAreRefusedNamingBothPlaces) {
  TreeFolder folder("duplicates");
  const std::string a = folder.write("a.xml", doc("\n" + tree("Same", "<AlwaysSuccess/>")));
  const std::string b = folder.write("b.xml", doc("\n\n" + tree("Same", "<AlwaysFailure/>")));
  core::BehaviorTreeFactory factory;
  factory.register_tree_file(a);
  EXPECT_EQ(build_error([&] { factory.register_tree_file(b); }),
            "BehaviorTree 'Same' is defined twice among the registered tree definitions: in " + a +
                ":2 and in " + b + ":3");
  EXPECT_EQ(build_error([&] { factory.register_tree_text(doc(tree("Same", "<AlwaysFailure/>"))); }),
            "BehaviorTree 'Same' is defined twice among the registered tree definitions: in " + a +
                ":2 and in <xml text>:1");
  EXPECT_EQ(factory.create_tree_by_name("Same").tickOnce(), S) << "the first one stays";

  // The same file again replaces its own definitions (it may have been edited).
  std::ofstream(a) << doc(tree("Same", "<AlwaysFailure/>") + tree("New", "<AlwaysSuccess/>"));
  EXPECT_EQ(factory.register_tree_file(a), (Ids{"Same", "New"}));
  EXPECT_EQ(factory.create_tree_by_name("Same").tickOnce(), F);
}

TEST(TreeRegistryTest, AFolderRegistersEveryXmlFileBelowItInPathOrder) {
  TreeFolder folder("folder");
  folder.write("b.xml", doc(tree("B", R"(<SubTree ID="Deep"/>)")));
  folder.write("a.xml", doc(tree("A", R"(<Sequence><SubTree ID="B"/><Work/></Sequence>)"),
                            " main_tree_to_execute=\"B\""));
  folder.write("sub/deep.xml", doc(tree("Deep", "<Work/>")));
  folder.write("notes.txt", "not a tree");
  folder.write("sub/readme.md", "<root/>");
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "Work", {S});
  EXPECT_EQ(engine.register_tree_folder(folder.path()), (Ids{"A", "B", "Deep"}));
  engine.create_tree_by_name("A");
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(actions.take_trace(), "Work Work");
}

TEST(TreeRegistryTest, AFolderWithOneBadFileRegistersNothing) {
  struct Case {
    std::string name;
    std::string second_file;
    std::string message_part;
  };
  for (const Case& c : std::vector<Case>{
           {"Malformed", "<root><BehaviorTree ID='Y'>", "XML parse error"},
           {"DuplicateId", doc(tree("X", "<AlwaysSuccess/>")), "'X' is defined twice"},
           {"WrongFormat", "<root BTCPP_format='3'/>", "unsupported BTCPP_format"}}) {
    SCOPED_TRACE(c.name);
    TreeFolder folder("bad_" + c.name);
    folder.write("1.xml", doc(tree("X", "<AlwaysSuccess/>")));
    folder.write("2.xml", c.second_file);
    core::BehaviorTreeFactory factory;
    const std::string message = build_error([&] { factory.register_tree_folder(folder.path()); });
    EXPECT_NE(message.find(c.message_part), std::string::npos) << message;
    EXPECT_TRUE(factory.registered_tree_ids().empty());
  }
}

TEST(TreeRegistryTest, FolderErrorsNameThePath) {
  core::BehaviorTreeFactory factory;
  TreeFolder folder("not_a_folder");
  const std::string file = folder.write("file.xml", doc(tree("X", "<AlwaysSuccess/>")));
  for (const std::string& path : {folder.path() + "/missing", file}) {
    try {
      factory.register_tree_folder(path);
      FAIL() << "registered " << path;
    } catch (const core::TreeFileError& e) {
      EXPECT_NE(std::string(e.what()).find("cannot read tree folder '" + path + "'"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_THROW(factory.register_tree_file(folder.path() + "/missing.xml"), core::TreeFileError);
}

TEST(TreeRegistryTest, IncludesOfARegisteredFileAreRelativeToThatFile) {
  TreeFolder folder("includes");
  folder.write("common/leaf.xml", doc(tree("Leaf", "<Work/>")));
  folder.write("project/nested/more.xml", doc(R"(<include path="../../common/leaf.xml"/>)" +
                                              tree("More", R"(<SubTree ID="Leaf"/>)")));
  const std::string main = folder.write(
      "project/main.xml",
      doc(R"(<include path="nested/more.xml"/>)" + tree("Main", R"(<SubTree ID="More"/>)")));
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "Work", {S});
  EXPECT_EQ(engine.register_tree_file(main), (Ids{"Leaf", "More", "Main"}));
  // Registering an included file on its own again is the same file: no conflict.
  EXPECT_EQ(engine.register_tree_file(folder.path() + "/common/leaf.xml"), (Ids{"Leaf"}));
  engine.create_tree_by_name("Main");
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(actions.take_trace(), "Work");
}

TEST(TreeRegistryTest, SubTreePortDefaultsFromARegisteredModelApply) {
  engine::SequentialEngine engine;
  engine.register_tree_text(doc(tree("Sub", R"(<Script code="out := 'got ' .. greeting"/>)") +
                                R"(<TreeNodesModel><SubTree ID="Sub">
                                     <input_port name="greeting" default="hello"/>
                                     <output_port name="out" default="{result}"/>
                                   </SubTree></TreeNodesModel>)"));
  engine.create_tree_from_text(doc(tree("Main", R"(<SubTree ID="Sub"/>)")));
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("result")), "got hello");
}

TEST(TreeRegistryTest, TreesBuiltBeforeARegistrationKeepWhatTheyWereBuiltWith) {
  core::BehaviorTreeFactory factory;
  TreeFolder folder("rebuild");
  const std::string path = folder.write("x.xml", doc(tree("X", "<AlwaysSuccess/>")));
  factory.register_tree_file(path);
  core::Tree before = factory.create_tree_from_text(doc(tree("M", R"(<SubTree ID="X"/>)")));
  std::ofstream(path) << doc(tree("X", "<AlwaysFailure/>"));
  factory.register_tree_file(path);
  core::Tree after = factory.create_tree_from_text(doc(tree("M", R"(<SubTree ID="X"/>)")));
  EXPECT_EQ(before.tickOnce(), S);
  EXPECT_EQ(after.tickOnce(), F);
}

TEST(TreeRegistryTest, TreeNodesModelIsAcceptedAndIgnored) {
  core::BehaviorTreeFactory factory;
  EXPECT_NO_THROW(factory.register_tree_text(
      doc(tree("X", "<AlwaysSuccess/>") +
          R"(<TreeNodesModel><Action ID="Unregistered"><input_port name="p" type="int"/>
             </Action><Whatever/></TreeNodesModel>)")));
  EXPECT_EQ(factory.create_tree_by_name("X").tickOnce(), S);
}

}  // namespace
}  // namespace kelmora
