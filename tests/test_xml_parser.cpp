// Building trees from XML: what the format accepts, and the error for each kind of bad input.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <kelmora/core/errors.hpp>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

namespace fs = std::filesystem;
using core::NodeStatus;

std::string data_path(const std::string& name) {
  const char* dir = std::getenv("KELMORA_TEST_DATA");
  return (fs::path(dir != nullptr ? dir : "tests/data") / "core" / name).string();
}

// An engine that knows the action "Work" (ports in, out).
engine::SequentialEngine work_engine() {
  engine::SequentialEngine engine;
  engine.register_action_behavior(
      "Work", [](core::TreeNode&) { return NodeStatus::SUCCESS; },
      {core::make_port("in", "string", "input"), core::make_port("out", "object", "output")});
  return engine;
}

std::string build_error(engine::SequentialEngine& engine, const std::string& xml) {
  try {
    engine.create_tree_from_text(xml);
  } catch (const core::TreeBuildError& e) {
    return e.what();
  }
  return "(built)";
}

struct XmlErrorCase {
  std::string name;
  std::string xml;
  std::string message;  // exact, or "~part" for a message that contains the part
};

void PrintTo(const XmlErrorCase& c, std::ostream* os) { *os << c.name; }

class XmlErrorTest : public ::testing::TestWithParam<XmlErrorCase> {};

TEST_P(XmlErrorTest, BuildFailsWithMessageNamingTheProblem) {
  const auto& c = GetParam();
  auto engine = work_engine();
  const std::string message = build_error(engine, c.xml);
  if (c.message.front() == '~') {
    EXPECT_NE(message.find(c.message.substr(1)), std::string::npos) << message;
  } else {
    EXPECT_EQ(message, c.message);
  }
  EXPECT_FALSE(engine.has_tree());
}

// The document around a tree body placed on line 3.
std::string doc(const std::string& body) {
  return "<root BTCPP_format=\"4\">\n<BehaviorTree ID=\"A\">\n" + body +
         "\n</BehaviorTree>\n</root>";
}

INSTANTIATE_TEST_SUITE_P(
    Xml, XmlErrorTest,
    ::testing::Values(
        XmlErrorCase{"Empty", "", "<xml text>:1: XML parse error: No document element found"},
        XmlErrorCase{"Malformed", "<root>\n<BehaviorTree ID=\"A\">\n</root>",
                     "<xml text>:3: XML parse error: Start-end tags mismatch"},
        XmlErrorCase{"WrongRootElement", "<tree/>",
                     "<xml text>:1: the document element must be <root>, not <tree>"},
        XmlErrorCase{"UnsupportedFormat", R"(<root BTCPP_format="3"/>)",
                     R"(<xml text>:1: unsupported BTCPP_format "3" (only "4" is supported))"},
        XmlErrorCase{"NoBehaviorTree", "<root/>", "<xml text>:1: the document has no BehaviorTree"},
        XmlErrorCase{"AmbiguousMainTree",
                     "<root><BehaviorTree ID='A'><AlwaysSuccess/></BehaviorTree>"
                     "<BehaviorTree ID='B'><AlwaysSuccess/></BehaviorTree></root>",
                     "<xml text>:1: several BehaviorTree elements and no main_tree_to_execute "
                     "to choose one"},
        XmlErrorCase{"UnknownMainTree",
                     "<root main_tree_to_execute='X'><BehaviorTree ID='A'><AlwaysSuccess/>"
                     "</BehaviorTree></root>",
                     "<xml text>:1: main_tree_to_execute names unknown BehaviorTree 'X'"},
        XmlErrorCase{"TreeWithoutId",
                     "<root>\n<BehaviorTree><AlwaysSuccess/></BehaviorTree></root>",
                     "<xml text>:2: <BehaviorTree> needs an ID attribute"},
        XmlErrorCase{"DuplicateTreeId",
                     "<root>\n<BehaviorTree ID='A'><AlwaysSuccess/></BehaviorTree>\n"
                     "<BehaviorTree ID='A'><AlwaysSuccess/></BehaviorTree></root>",
                     "<xml text>:3: BehaviorTree 'A' is defined twice (first at <xml text>:2)"},
        XmlErrorCase{"EmptyBehaviorTree", doc(""),
                     "<xml text>:2: BehaviorTree 'A' must have exactly one child node, not 0"},
        XmlErrorCase{"TwoRootNodes", doc("<AlwaysSuccess/><AlwaysSuccess/>"),
                     "<xml text>:2: BehaviorTree 'A' must have exactly one child node, not 2"},
        XmlErrorCase{"UnexpectedRootElement", "<root>\n<Tree/></root>",
                     "<xml text>:2: unexpected element <Tree> in <root> (expected BehaviorTree, "
                     "include or TreeNodesModel)"},
        XmlErrorCase{"UnknownNode", doc("<Sequence>\n<Bogus/></Sequence>"),
                     "<xml text>:4: unknown node type 'Bogus'"},
        XmlErrorCase{"ExplicitFormOfWrongKind",
                     doc(R"(<Decorator ID="Sequence"><Work/></Decorator>)"),
                     "<xml text>:3: 'Sequence' is a Control node, not a Decorator"},
        XmlErrorCase{"ExplicitFormWithoutId", doc("<Action/>"),
                     "<xml text>:3: <Action> needs an ID attribute"},
        XmlErrorCase{"AttributeThatIsNoPort", doc(R"(<Work name="w" inn="x"/>)"),
                     "<xml text>:3: node 'w' (Work): attribute 'inn' is not a port of this node "
                     "(ports: in, out)"},
        XmlErrorCase{"AttributeOnNodeWithoutPorts", doc(R"(<AlwaysSuccess nmae="x"/>)"),
                     "<xml text>:3: node 'AlwaysSuccess' (AlwaysSuccess): attribute 'nmae' is not "
                     "a port of this node (it has no ports)"},
        XmlErrorCase{"ConditionAttributeTypo", doc(R"(<Work _skipif="x == 1"/>)"),
                     "<xml text>:3: node 'Work' (Work): unknown attribute '_skipif': did you mean "
                     "'_skipIf'? (other attributes beginning with '_' are editor metadata and "
                     "ignored, but this one is too close to '_skipIf' to be taken for metadata)"},
        XmlErrorCase{"AutoremapOutsideSubTree", doc(R"(<Work _autoremap="true"/>)"),
                     "<xml text>:3: node 'Work' (Work): attribute '_autoremap' is not supported "
                     "(it is only allowed on SubTree)"},
        XmlErrorCase{"DecoratorWithoutChild", doc("<Inverter/>"),
                     "<xml text>:3: node 'Inverter' (Inverter): needs exactly 1 child (Decorator "
                     "node), has 0"},
        XmlErrorCase{"DecoratorWithTwoChildren", doc("<Inverter><Work/><Work/></Inverter>"),
                     "<xml text>:3: node 'Inverter' (Inverter): needs exactly 1 child (Decorator "
                     "node), has 2"},
        XmlErrorCase{"ControlWithoutChildren", doc("<Sequence/>"),
                     "<xml text>:3: node 'Sequence' (Sequence): needs at least 1 child (Control "
                     "node), has 0"},
        XmlErrorCase{"LeafWithChild", doc("<Work><Work/></Work>"),
                     "<xml text>:3: node 'Work' (Work): needs no children (Action node), has 1"},
        XmlErrorCase{"IfThenElseWithOneChild", doc("<IfThenElse><Work/></IfThenElse>"),
                     "<xml text>:3: node 'IfThenElse' (IfThenElse): needs 2 to 3 children "
                     "(Control node), has 1"},
        XmlErrorCase{"NonNumericCount", doc(R"(<Repeat num_cycles="often"><Work/></Repeat>)"),
                     "<xml text>:3: node 'Repeat' (Repeat): port 'num_cycles' expects an integer, "
                     "got 'often'"},
        XmlErrorCase{"NegativeDuration", doc(R"(<Sleep name="nap" msec="-5"/>)"),
                     "<xml text>:3: node 'nap' (Sleep): port 'msec' expects an integer >= 0, got "
                     "'-5'"},
        XmlErrorCase{"NonBooleanFlag", doc(R"(<RunOnce then_skip="maybe"><Work/></RunOnce>)"),
                     "<xml text>:3: node 'RunOnce' (RunOnce): port 'then_skip' expects true or "
                     "false, got 'maybe'"},
        XmlErrorCase{"MissingRequiredPort", doc("<Timeout><Work/></Timeout>"),
                     "<xml text>:3: node 'Timeout' (Timeout): missing required port 'msec'"},
        XmlErrorCase{"OutputPortBoundToLiteral", doc(R"(<Work out="result"/>)"),
                     "<xml text>:3: node 'Work' (Work): output port 'out' must be a blackboard "
                     "reference like {key}, not 'result'"},
        XmlErrorCase{"MalformedReference", doc(R"(<Work in="{}"/>)"),
                     "<xml text>:3: node 'Work' (Work): port 'in' has a malformed blackboard "
                     "reference '{}'"},
        XmlErrorCase{"ParallelThresholdAboveChildren",
                     doc(R"(<Parallel success_count="3"><Work/><Work/></Parallel>)"),
                     "<xml text>:3: node 'Parallel' (Parallel): success_count 3 does not fit its "
                     "2 children (use 1..2 or -1 for all)"},
        XmlErrorCase{"UnexpectedText", doc("<Sequence>hello<Work/></Sequence>"),
                     "<xml text>:3: unexpected text 'hello' inside <Sequence>"},
        XmlErrorCase{"SubTreeOfUnknownTree", doc(R"(<SubTree ID="Nowhere"/>)"),
                     "<xml text>:3: SubTree refers to unknown BehaviorTree 'Nowhere'"},
        XmlErrorCase{"SubTreeContainingItself", doc(R"(<Sequence><SubTree ID="A"/></Sequence>)"),
                     "<xml text>:3: SubTree 'A' contains itself (A -> A)"},
        XmlErrorCase{"SubTreesContainingEachOther",
                     "<root main_tree_to_execute='M'>\n"
                     "<BehaviorTree ID='M'><SubTree ID='B'/></BehaviorTree>\n"
                     "<BehaviorTree ID='B'><SubTree ID='C'/></BehaviorTree>\n"
                     "<BehaviorTree ID='C'><SubTree ID='B'/></BehaviorTree></root>",
                     "<xml text>:4: SubTree 'B' contains itself (M -> B -> C -> B)"},
        XmlErrorCase{"SubTreeWithChildren",
                     "<root main_tree_to_execute='M'>\n"
                     "<BehaviorTree ID='M'><SubTree ID='B'><Work/></SubTree></BehaviorTree>\n"
                     "<BehaviorTree ID='B'><Work/></BehaviorTree></root>",
                     "<xml text>:2: SubTree 'B' must not have child elements"},
        XmlErrorCase{"SubTreeScriptThatDoesNotParse",
                     "<root main_tree_to_execute='M'>\n"
                     "<BehaviorTree ID='M'><SubTree ID='B' _while='x &lt;'/></BehaviorTree>\n"
                     "<BehaviorTree ID='B'><Work/></BehaviorTree></root>",
                     "<xml text>:2: node 'B' (SubTree): attribute '_while': Expected operand at "
                     "position 3 in script 'x <'"},
        XmlErrorCase{"IncludeOfMissingFile", R"(<root><include path="no/such/file.xml"/></root>)",
                     "~<xml text>:1: cannot read tree file '"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(XmlTest, AcceptsExplicitFormsCommentsModelsAndMissingFormat) {
  auto engine = work_engine();
  engine.create_tree_from_text(R"(
    <root main_tree_to_execute="Main">
      <!-- a comment -->
      <TreeNodesModel><Action ID="Work"><input_port name="in"/></Action></TreeNodesModel>
      <BehaviorTree ID="Other"><AlwaysFailure/></BehaviorTree>
      <BehaviorTree ID="Main">
        <Control ID="Sequence" name="seq">
          <Action ID="Work" name="first" in="literal"/>
          <Condition ID="Work"/>
          <Decorator ID="Inverter"><AlwaysFailure/></Decorator>
        </Control>
      </BehaviorTree>
    </root>)");
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  auto status = engine.get_tree_status();
  EXPECT_EQ(std::any_cast<std::string>(status.at("root")), "seq");
  EXPECT_EQ(std::any_cast<std::string>(status.at("main_tree")), "Main");
}

TEST(XmlTest, FileIncludesResolveAgainstTheIncludingFile) {
  engine::SequentialEngine engine;
  engine.create_tree_from_file(data_path("include_main.xml"));
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("where")), "from shared");
}

TEST(XmlTest, TextIncludesResolveAgainstTheWorkingDirectory) {
  const fs::path saved = fs::current_path();
  fs::current_path(data_path(""));
  engine::SequentialEngine engine;
  EXPECT_NO_THROW(engine.create_tree_from_text(
      R"(<root main_tree_to_execute="M"><include path="shared_trees.xml"/>
         <BehaviorTree ID="M"><SubTree ID="Shared"/></BehaviorTree></root>)"));
  fs::current_path(saved);
}

// Runs `body` with a working directory that no longer exists, then restores the previous one.
template <class F>
void in_removed_working_directory(F&& body) {
  const fs::path saved = fs::current_path();
  const fs::path dir = fs::temp_directory_path() / ("kelmora_gone_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  fs::remove(dir);
  body();
  fs::current_path(saved);
}

TEST(XmlTest, RemovedWorkingDirectoryMattersOnlyToRelativeIncludesOfText) {
  in_removed_working_directory([] {
    std::error_code ec;
    (void)fs::current_path(ec);
    ASSERT_TRUE(ec) << "the working directory is still there";
    engine::SequentialEngine engine;
    EXPECT_NO_THROW(engine.create_tree_from_text(main_tree("<AlwaysSuccess/>")));
    EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
    EXPECT_NO_THROW(engine.create_tree_from_text(
        "<root main_tree_to_execute='M'><include path='" + data_path("shared_trees.xml") +
        "'/><BehaviorTree ID='M'><SubTree ID='Shared'/></BehaviorTree></root>"));
    EXPECT_NO_THROW(engine.create_tree_from_file(data_path("include_main.xml")));
    EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);

    const std::string message =
        build_error(engine,
                    "<root main_tree_to_execute='M'>\n<include path='shared_trees.xml'/>"
                    "<BehaviorTree ID='M'><SubTree ID='Shared'/></BehaviorTree></root>");
    const std::string expected =
        "<xml text>:2: cannot resolve include 'shared_trees.xml': the working directory is not "
        "available (";
    EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
    EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("where")), "from shared");
  });
}

TEST(XmlTest, ASourceReadFromAFileBuildsAsTheFileDoes) {
  const fs::path saved = fs::current_path();
  fs::current_path(fs::temp_directory_path());  // no tree files here
  engine::SequentialEngine engine;
  const std::string main_path = data_path("include_main.xml");
  const core::TreeSource source = core::TreeSource::from_file(main_path);
  EXPECT_EQ(source.path(), main_path);
  engine.create_tree(source);
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("where")), "from shared");

  const std::string bad_path = data_path("bad_line.xml");
  std::string from_file, from_source;
  try {
    engine.create_tree_from_file(bad_path);
  } catch (const core::TreeBuildError& e) {
    from_file = e.what();
  }
  try {
    engine.create_tree(core::TreeSource::from_file(bad_path));
  } catch (const core::TreeBuildError& e) {
    from_source = e.what();
  }
  fs::current_path(saved);
  EXPECT_EQ(from_source.rfind(bad_path + ":5: ", 0), 0u) << from_source;
  EXPECT_EQ(from_source, from_file);
}

TEST(XmlTest, IncludeCycleIsAnErrorNamingTheChain) {
  engine::SequentialEngine engine;
  const std::string message =
      build_error(engine, "<root><include path=\"" + data_path("cycle_a.xml") + "\"/></root>");
  EXPECT_NE(message.find("include cycle: "), std::string::npos) << message;
  EXPECT_NE(message.find("cycle_a.xml -> "), std::string::npos) << message;
  EXPECT_NE(message.find("cycle_b.xml -> "), std::string::npos) << message;
}

TEST(XmlTest, IncludeChainDeeperThanTheLimitIsAnError) {
  const fs::path dir =
      fs::temp_directory_path() / ("kelmora_includes_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (int i = 0; i < 20; ++i) {
    std::ofstream(dir / (std::to_string(i) + ".xml"))
        << "<root><include path=\"" << i + 1 << ".xml\"/></root>";
  }
  std::ofstream(dir / "20.xml")
      << "<root><BehaviorTree ID='T'><AlwaysSuccess/></BehaviorTree></root>";
  engine::SequentialEngine engine;
  std::string message;
  try {
    engine.create_tree_from_file((dir / "0.xml").string());
  } catch (const core::TreeBuildError& e) {
    message = e.what();
  }
  fs::remove_all(dir);
  EXPECT_NE(message.find("includes nested deeper than 16 files"), std::string::npos) << message;
}

TEST(XmlTest, FileErrorsNameFileAndLine) {
  engine::SequentialEngine engine;
  const std::string path = data_path("bad_line.xml");
  try {
    engine.create_tree_from_file(path);
    FAIL() << "built";
  } catch (const core::TreeBuildError& e) {
    EXPECT_EQ(e.what(), path +
                            ":5: node 'Repeat' (Repeat): port 'num_cycles' expects an integer, "
                            "got 'often'");
  }
}

TEST(XmlTest, AbsurdNestingAndSizeAreErrorsNotCrashes) {
  engine::SequentialEngine engine;
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<Inverter>";
  deep += "<AlwaysSuccess/>";
  for (int i = 0; i < 300; ++i) deep += "</Inverter>";
  EXPECT_NE(build_error(engine, main_tree(deep)).find("tree nested deeper than 256"),
            std::string::npos);

  // Twenty levels of trees that each use the next one twice: a million nodes.
  std::string trees = "<root main_tree_to_execute='T0'>";
  for (int i = 0; i < 20; ++i) {
    const std::string next = "T" + std::to_string(i + 1);
    trees += "<BehaviorTree ID='T" + std::to_string(i) + "'><Sequence><SubTree ID='" + next +
             "'/><SubTree ID='" + next + "'/></Sequence></BehaviorTree>";
  }
  trees += "<BehaviorTree ID='T20'><AlwaysSuccess/></BehaviorTree></root>";
  EXPECT_NE(build_error(engine, trees).find("tree has more than 200000 nodes"), std::string::npos);
}

TEST(XmlTest, FailedBuildKeepsThePreviousTreeAndBlackboard) {
  auto engine = work_engine();
  engine.create_tree_from_text(main_tree("<Work/>"));
  engine.set_blackboard_data("kept", 1);
  engine.tick_once();
  EXPECT_THROW(engine.create_tree_from_text(main_tree("<Bogus/>")), core::TreeBuildError);
  EXPECT_EQ(std::any_cast<int>(engine.get_blackboard_data("kept")), 1);
  EXPECT_EQ(std::any_cast<std::int64_t>(engine.get_tree_status().at("tick_count")), 1);
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
}

struct RegistrationCase {
  std::string name;
  std::string id;
  core::PortsList ports;
  std::string message;
};

void PrintTo(const RegistrationCase& c, std::ostream* os) { *os << c.name; }

class RegistrationErrorTest : public ::testing::TestWithParam<RegistrationCase> {};

TEST_P(RegistrationErrorTest, RegistrationFailsWithClearMessage) {
  const auto& c = GetParam();
  engine::SequentialEngine engine;
  try {
    engine.register_action_behavior(
        c.id, [](core::TreeNode&) { return NodeStatus::SUCCESS; }, c.ports);
    FAIL() << "registered";
  } catch (const core::TreeBuildError& e) {
    EXPECT_EQ(e.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Registration, RegistrationErrorTest,
    ::testing::Values(
        RegistrationCase{"EmptyId", "", {}, "cannot register an action with an empty id"},
        RegistrationCase{"ReservedId",
                         "SubTree",
                         {},
                         "cannot register action 'SubTree': the name is reserved by the tree XML "
                         "format"},
        RegistrationCase{"UnknownType",
                         "X",
                         {core::make_port("p", "int", "input")},
                         "cannot register action 'X': port 'p' has type 'int' (expected "
                         "\"string\" or \"object\")"},
        RegistrationCase{"UnknownDirection",
                         "X",
                         {core::make_port("p", "string", "inout")},
                         "cannot register action 'X': port 'p' has direction 'inout' (expected "
                         "\"input\" or \"output\")"},
        RegistrationCase{"UnnamedPort",
                         "X",
                         {core::make_port("", "string", "input")},
                         "cannot register action 'X': port 1 has no name"},
        RegistrationCase{
            "PortDeclaredTwice",
            "X",
            {core::make_port("p", "string", "input"), core::make_port("p", "object", "output")},
            "cannot register action 'X': port 'p' is declared twice"},
        RegistrationCase{"ReservedPortName",
                         "X",
                         {core::make_port("name", "string", "input")},
                         "cannot register action 'X': port name 'name' is reserved"},
        RegistrationCase{
            "UnknownKey",
            "X",
            {{{"name", "p"}, {"type", "string"}, {"direction", "input"}, {"default", "1"}}},
            "cannot register action 'X': port 1 has an unknown key 'default' "
            "(expected name, type, direction, description)"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(RegistrationTest, LaterRegistrationOfAnIdReplacesTheEarlierOne) {
  engine::SequentialEngine engine;
  engine.register_action_behavior("A", [](core::TreeNode&) { return NodeStatus::FAILURE; }, {});
  engine.register_action_behavior("A", [](core::TreeNode&) { return NodeStatus::SUCCESS; }, {});
  engine.register_action_behavior("Fallback", [](core::TreeNode&) { return NodeStatus::SUCCESS; },
                                  {});
  engine.create_tree_from_text(main_tree("<A/>"));
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  // A standard node replaced by an action is a leaf now.
  EXPECT_NE(build_error(engine, main_tree("<Fallback><A/></Fallback>")).find("needs no children"),
            std::string::npos);
}

}  // namespace
}  // namespace kelmora::testing
