// kelmora-tree: `check` reports every malformed tree file as "file:line: message" with exit
// status 1, `dot` draws a file's tree, `run` ticks it with stub leaves and prints transitions.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kelmora::testing {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() {
    dir_ = fs::temp_directory_path() /
           ("kelmora-tree-" + std::to_string(::getpid()) + "-" + std::to_string(next_++));
    fs::create_directories(dir_);
  }
  ~ToolTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string write(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  static std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Runs kelmora-tree with `arguments` (already quoted where needed).
  Outcome run(const std::string& arguments) {
    const fs::path out = dir_ / "stdout.txt";
    const fs::path err = dir_ / "stderr.txt";
    const std::string command = std::string("'") + KELMORA_TREE_TOOL + "' " + arguments + " >'" +
                                out.string() + "' 2>'" + err.string() + "' </dev/null";
    const int raw = std::system(command.c_str());
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  }

  std::string nodes_file() {
    return write("models.xml", R"(<root BTCPP_format="4"><TreeNodesModel>
  <Action ID="Work"><input_port name="in"/><output_port name="out"/></Action>
</TreeNodesModel></root>)");
  }

  fs::path dir_;
  static inline std::atomic<int> next_{0};
};

// The document around a tree body placed on line 3.
std::string doc(const std::string& body) {
  return "<root BTCPP_format=\"4\">\n<BehaviorTree ID=\"A\">\n" + body +
         "\n</BehaviorTree>\n</root>";
}

struct CheckCase {
  std::string name;
  std::string xml;
  std::string first_error;  // with FILE for the file's path; "~" prefix: the line starts so
};

TEST_F(ToolTest, CheckReportsTheFileAndLineOfEveryMalformedTree) {
  const std::vector<CheckCase> cases = {
      {"Empty", "", "FILE:1: XML parse error: No document element found"},
      {"Malformed", "<root>\n<BehaviorTree ID=\"A\">\n</root>",
       "FILE:3: XML parse error: Start-end tags mismatch"},
      {"WrongRootElement", "<tree/>", "FILE:1: the document element must be <root>, not <tree>"},
      {"UnsupportedFormat", R"(<root BTCPP_format="3"/>)",
       R"(FILE:1: unsupported BTCPP_format "3" (only "4" is supported))"},
      {"NoBehaviorTree", "<root/>", "FILE:1: the document has no BehaviorTree"},
      {"AmbiguousMainTree",
       "<root><BehaviorTree ID='A'><AlwaysSuccess/></BehaviorTree>"
       "<BehaviorTree ID='B'><AlwaysSuccess/></BehaviorTree></root>",
       "FILE:1: several BehaviorTree elements and no main_tree_to_execute to choose one"},
      {"UnknownMainTree",
       "<root main_tree_to_execute='X'><BehaviorTree ID='A'><AlwaysSuccess/>"
       "</BehaviorTree></root>",
       "FILE:1: main_tree_to_execute names unknown BehaviorTree 'X'"},
      {"TreeWithoutId", "<root>\n<BehaviorTree><AlwaysSuccess/></BehaviorTree></root>",
       "FILE:2: <BehaviorTree> needs an ID attribute"},
      {"DuplicateTreeId",
       "<root>\n<BehaviorTree ID='A'><AlwaysSuccess/></BehaviorTree>\n"
       "<BehaviorTree ID='A'><AlwaysSuccess/></BehaviorTree></root>",
       "FILE:3: BehaviorTree 'A' is defined twice (first at FILE:2)"},
      {"EmptyBehaviorTree", doc(""),
       "FILE:2: BehaviorTree 'A' must have exactly one child node, not 0"},
      {"TwoRootNodes", doc("<AlwaysSuccess/><AlwaysSuccess/>"),
       "FILE:2: BehaviorTree 'A' must have exactly one child node, not 2"},
      {"UnexpectedRootElement", "<root>\n<Tree/></root>",
       "FILE:2: unexpected element <Tree> in <root> (expected BehaviorTree, include or "
       "TreeNodesModel)"},
      {"UnknownNode", doc("<Sequence>\n<Bogus/></Sequence>"), "FILE:4: unknown node type 'Bogus'"},
      {"ExplicitFormOfWrongKind", doc(R"(<Decorator ID="Sequence"><Work/></Decorator>)"),
       "FILE:3: 'Sequence' is a Control node, not a Decorator"},
      {"ExplicitFormWithoutId", doc("<Action/>"), "FILE:3: <Action> needs an ID attribute"},
      {"AttributeThatIsNoPort", doc(R"(<Work name="w" inn="x"/>)"),
       "FILE:3: node 'w' (Work): attribute 'inn' is not a port of this node (ports: in, out)"},
      {"AttributeOnNodeWithoutPorts", doc(R"(<AlwaysSuccess nmae="x"/>)"),
       "FILE:3: node 'AlwaysSuccess' (AlwaysSuccess): attribute 'nmae' is not a port of this "
       "node (it has no ports)"},
      {"ScriptThatDoesNotParse", doc(R"(<Work _skipIf="x ==="/>)"),
       "FILE:3: node 'Work' (Work): attribute '_skipIf': Expected operand, found '=' at "
       "position 4 in script 'x ==='"},
      {"AutoremapOutsideSubTree", doc(R"(<Work _autoremap="true"/>)"),
       "FILE:3: node 'Work' (Work): attribute '_autoremap' is not supported (it is only allowed "
       "on SubTree)"},
      {"DecoratorWithoutChild", doc("<Inverter/>"),
       "FILE:3: node 'Inverter' (Inverter): needs exactly 1 child (Decorator node), has 0"},
      {"DecoratorWithTwoChildren", doc("<Inverter><Work/><Work/></Inverter>"),
       "FILE:3: node 'Inverter' (Inverter): needs exactly 1 child (Decorator node), has 2"},
      {"ControlWithoutChildren", doc("<Sequence/>"),
       "FILE:3: node 'Sequence' (Sequence): needs at least 1 child (Control node), has 0"},
      {"LeafWithChild", doc("<Work><Work/></Work>"),
       "FILE:3: node 'Work' (Work): needs no children (Action node), has 1"},
      {"IfThenElseWithOneChild", doc("<IfThenElse><Work/></IfThenElse>"),
       "FILE:3: node 'IfThenElse' (IfThenElse): needs 2 to 3 children (Control node), has 1"},
      {"NonNumericCount", doc(R"(<Repeat num_cycles="often"><Work/></Repeat>)"),
       "FILE:3: node 'Repeat' (Repeat): port 'num_cycles' expects an integer, got 'often'"},
      {"NegativeDuration", doc(R"(<Sleep name="nap" msec="-5"/>)"),
       "FILE:3: node 'nap' (Sleep): port 'msec' expects an integer >= 0, got '-5'"},
      {"NonBooleanFlag", doc(R"(<RunOnce then_skip="maybe"><Work/></RunOnce>)"),
       "FILE:3: node 'RunOnce' (RunOnce): port 'then_skip' expects true or false, got 'maybe'"},
      {"MissingRequiredPort", doc("<Timeout><Work/></Timeout>"),
       "FILE:3: node 'Timeout' (Timeout): missing required port 'msec'"},
      {"OutputPortBoundToLiteral", doc(R"(<Work out="result"/>)"),
       "FILE:3: node 'Work' (Work): output port 'out' must be a blackboard reference like {key}, "
       "not 'result'"},
      {"MalformedReference", doc(R"(<Work in="{}"/>)"),
       "FILE:3: node 'Work' (Work): port 'in' has a malformed blackboard reference '{}'"},
      {"ParallelThresholdAboveChildren",
       doc(R"(<Parallel success_count="3"><Work/><Work/></Parallel>)"),
       "FILE:3: node 'Parallel' (Parallel): success_count 3 does not fit its 2 children (use "
       "1..2 or -1 for all)"},
      {"UnexpectedText", doc("<Sequence>hello<Work/></Sequence>"),
       "FILE:3: unexpected text 'hello' inside <Sequence>"},
      {"SubTreeOfUnknownTree", doc(R"(<SubTree ID="Nowhere"/>)"),
       "FILE:3: SubTree refers to unknown BehaviorTree 'Nowhere'"},
      {"SubTreeContainingItself", doc(R"(<Sequence><SubTree ID="A"/></Sequence>)"),
       "FILE:3: SubTree 'A' contains itself (A -> A)"},
      {"SubTreesContainingEachOther",
       "<root main_tree_to_execute='M'>\n"
       "<BehaviorTree ID='M'><SubTree ID='B'/></BehaviorTree>\n"
       "<BehaviorTree ID='B'><SubTree ID='C'/></BehaviorTree>\n"
       "<BehaviorTree ID='C'><SubTree ID='B'/></BehaviorTree></root>",
       "FILE:4: SubTree 'B' contains itself (M -> B -> C -> B)"},
      {"SubTreeWithChildren",
       "<root main_tree_to_execute='M'>\n"
       "<BehaviorTree ID='M'><SubTree ID='B'><Work/></SubTree></BehaviorTree>\n"
       "<BehaviorTree ID='B'><Work/></BehaviorTree></root>",
       "FILE:2: SubTree 'B' must not have child elements"},
      {"SubTreeScriptThatDoesNotParse",
       "<root main_tree_to_execute='M'>\n"
       "<BehaviorTree ID='M'><SubTree ID='B' _while='(('/></BehaviorTree>\n"
       "<BehaviorTree ID='B'><Work/></BehaviorTree></root>",
       "FILE:2: node 'B' (SubTree): attribute '_while': Expected operand at position 2 in "
       "script '(('"},
      {"IncludeOfMissingFile", R"(<root><include path="no/such/file.xml"/></root>)",
       "~FILE:1: cannot read tree file '"},
  };
  const std::string models = nodes_file();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(c.name + ".xml", c.xml);
    const Outcome outcome = run("check --nodes '" + models + "' '" + path + "'");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    const std::string first = outcome.err.substr(0, outcome.err.find('\n'));
    std::string expected = c.first_error;
    for (std::size_t at = expected.find("FILE"); at != std::string::npos;
         at = expected.find("FILE", at)) {
      expected.replace(at, 4, path);
    }
    if (expected.front() == '~') {
      EXPECT_EQ(first.rfind(expected.substr(1), 0), 0u) << first;
    } else {
      EXPECT_EQ(first, expected);
    }
  }
}

TEST_F(ToolTest, CheckBuildsEveryTreeAndUsesTheFilesOwnModels) {
  const std::string good = write("good.xml", R"(<root BTCPP_format="4" main_tree_to_execute="Main">
<TreeNodesModel>
  <Action ID="Move"><input_port name="goal"/><output_port name="pose"/></Action>
  <Condition ID="Near"><input_port name="target"/></Condition>
</TreeNodesModel>
<BehaviorTree ID="Main"><Sequence><Near target="door"/><Move goal="door" pose="{p}"/></Sequence>
</BehaviorTree>
<BehaviorTree ID="Spare"><Move goal="{p}"/></BehaviorTree>
</root>)");
  // Spare is no subtree of Main: only building every tree finds its error.
  const std::string bad_spare =
      write("spare.xml", R"(<root BTCPP_format="4" main_tree_to_execute="Main">
<BehaviorTree ID="Main"><AlwaysSuccess/></BehaviorTree>
<BehaviorTree ID="Spare">
  <Inverter/>
</BehaviorTree>
</root>)");
  Outcome ok = run("check '" + good + "'");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out, good + ": ok (2 trees)\n");
  EXPECT_EQ(ok.err, "");

  Outcome both = run("check '" + good + "' '" + bad_spare + "'");
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(both.out, good + ": ok (2 trees)\n");
  EXPECT_EQ(both.err, bad_spare +
                          ":4: node 'Inverter' (Inverter): needs exactly 1 child (Decorator "
                          "node), has 0\n");

  const std::string unknown = write("unknown.xml", doc("<Sequence>\n<Work/></Sequence>"));
  Outcome without_models = run("check '" + unknown + "'");
  EXPECT_EQ(without_models.err, unknown + ":4: unknown node type 'Work'\n");
  Outcome with_models = run("check --nodes '" + nodes_file() + "' '" + unknown + "'");
  EXPECT_EQ(with_models.status, 0) << with_models.err;
}

TEST_F(ToolTest, BadCommandLinesExitWithStatusTwo) {
  for (const std::string arguments :
       {"", "frobnicate x.xml", "check", "run x.xml", "run x.xml --ticks many", "check --bogus x",
        "dot a.xml b.xml", "check --nodes"}) {
    SCOPED_TRACE(arguments);
    Outcome outcome = run(arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("usage: kelmora-tree check"), std::string::npos) << outcome.err;
  }
  Outcome missing = run("check '" + (dir_ / "absent.xml").string() + "'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("absent.xml"), std::string::npos) << missing.err;
}

const std::string kFetch = R"(<root BTCPP_format="4"><BehaviorTree ID="Fetch">
  <Sequence name="fetch">
    <Move name="go" goal="{room}"/>
    <Inverter><Near target="door"/></Inverter>
  </Sequence>
</BehaviorTree></root>)";

TEST_F(ToolTest, DotDrawsTheTreeWithStubsForUndeclaredNodes) {
  const std::string path = write("fetch.xml", kFetch);
  Outcome outcome = run("dot '" + path + "'");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out.rfind("digraph \"Fetch\" {", 0), 0u) << outcome.out;
  for (const char* part : {"[Control] Sequence\\n\\\"fetch\\\"\\nIDLE",
                           "[Action] Move\\n\\\"go\\\"\\ngoal = {room}\\nIDLE",
                           "[Action] Near\\ntarget = door\\nIDLE", "n0 -> n1;", "n2 -> n3;"}) {
    EXPECT_NE(outcome.out.find(part), std::string::npos) << part << "\n" << outcome.out;
  }
  Outcome chosen = run("dot '" + path + "' --tree Nope");
  EXPECT_EQ(chosen.status, 1);
  EXPECT_EQ(chosen.err, path + ":1: main_tree_to_execute names unknown BehaviorTree 'Nope'\n");
}

TEST_F(ToolTest, RunTicksWithStubLeavesAndPrintsEveryTransition) {
  const std::string path = write("fetch.xml", kFetch);
  Outcome outcome = run("run '" + path + "' --ticks 2");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  std::vector<std::string> lines;
  std::istringstream in(outcome.out);
  for (std::string line; std::getline(in, line);) {
    // "   0.123 ms  main  #1 fetch/go  IDLE -> SUCCESS": the time column varies.
    const auto ms = line.find(" ms  ");
    lines.push_back(ms == std::string::npos ? line : line.substr(ms + 5));
  }
  const std::vector<std::string> one_tick = {"main  #0 fetch  IDLE -> RUNNING",
                                             "main  #1 fetch/go  IDLE -> SUCCESS",
                                             "main  #2 fetch/Inverter  IDLE -> RUNNING",
                                             "main  #3 fetch/Inverter/Near  IDLE -> SUCCESS",
                                             "main  #3 fetch/Inverter/Near  SUCCESS -> IDLE",
                                             "main  #2 fetch/Inverter  RUNNING -> FAILURE",
                                             "main  #1 fetch/go  SUCCESS -> IDLE",
                                             "main  #2 fetch/Inverter  FAILURE -> IDLE",
                                             "main  #0 fetch  RUNNING -> FAILURE"};
  std::vector<std::string> expected = one_tick;
  expected.push_back("tick 1: FAILURE");
  expected.insert(expected.end(), one_tick.begin(), one_tick.end());
  expected.back() = "main  #0 fetch  RUNNING -> FAILURE";
  expected[expected.size() - one_tick.size()] = "main  #0 fetch  FAILURE -> RUNNING";
  expected.push_back("tick 2: FAILURE");
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace kelmora::testing
