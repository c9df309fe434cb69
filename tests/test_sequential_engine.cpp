// SequentialEngine operations: ticking, the status map, blackboard access, reset, errors from
// tick functions, and operations without a tree.

#include <gtest/gtest.h>

#include <functional>
#include <kelmora/core/errors.hpp>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using namespace statuses;

using core::NodeStatus;

TEST(SequentialEngineTest, OneTickRunsSetupAndWorkThenResumesAtKeepRunning) {
  engine::SequentialEngine engine;
  std::vector<std::string> ran;
  engine.register_action_behavior("Setup",
                                  [&](core::TreeNode& node) {
                                    ran.push_back("Setup");
                                    node.setOutput("out", std::string("prepared"));
                                    return S;
                                  },
                                  {core::make_port("out", "object", "output")});
  engine.register_action_behavior("Work",
                                  [&](core::TreeNode& node) {
                                    ran.push_back("Work:" + node.getInputString("in"));
                                    return S;
                                  },
                                  {core::make_port("in", "string", "input")});
  engine.create_tree_from_text(R"(
    <root BTCPP_format="4">
      <BehaviorTree ID="MainTree">
        <Sequence>
          <Setup out="{x}"/>
          <KeepRunningUntilFailure>
            <Sequence>
              <Work in="{x}"/>
            </Sequence>
          </KeepRunningUntilFailure>
        </Sequence>
      </BehaviorTree>
    </root>)");
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(ran, (std::vector<std::string>{"Setup", "Work:prepared"}));
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(ran, (std::vector<std::string>{"Setup", "Work:prepared", "Work:prepared"}));
}

TEST(SequentialEngineTest, TickLoopsReturnTheNumberOfTicks) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {R, S, F});
  actions.add(engine, "B", {F, R, F, S});
  engine.create_tree_from_text(main_tree("<A/>"));
  EXPECT_EQ(engine.tick_until_failure(), 3);
  engine.create_tree_from_text(main_tree("<B/>"));
  EXPECT_EQ(engine.tick_until_success(), 4);
}

TEST(SequentialEngineTest, TickNTimesGivesOneStatusPerTick) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {R, S, F});
  engine.create_tree_from_text(main_tree("<A/>"));
  EXPECT_TRUE(engine.tick_n_times(0).empty());
  EXPECT_TRUE(engine.tick_n_times(-3).empty());
  EXPECT_EQ(engine.tick_n_times(4), (std::vector<NodeStatus>{R, S, F, F}));
  EXPECT_EQ(std::any_cast<std::int64_t>(engine.get_tree_status().at("tick_count")), 4);
}

TEST(SequentialEngineTest, StatusMapDescribesTheTree) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {R});
  engine.create_tree_from_text(
      main_tree(R"(<Sequence name="top"><Inverter><A name="a"/></Inverter></Sequence>)"));
  auto before = engine.get_tree_status();
  EXPECT_EQ(std::any_cast<std::string>(before.at("status")), "IDLE");
  EXPECT_EQ(std::any_cast<std::int64_t>(before.at("tick_count")), 0);
  EXPECT_EQ(std::any_cast<std::string>(before.at("root")), "top");
  engine.tick_once();
  auto after = engine.get_tree_status();
  EXPECT_EQ(std::any_cast<std::string>(after.at("status")), "RUNNING");
  auto nodes = std::any_cast<std::vector<core::AnyMap>>(after.at("nodes"));
  ASSERT_EQ(nodes.size(), 3u);
  const std::vector<std::vector<std::string>> expected = {
      {"top", "Sequence", "Control", "RUNNING"},
      {"Inverter", "Inverter", "Decorator", "RUNNING"},
      {"a", "A", "Action", "RUNNING"}};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(std::any_cast<std::string>(nodes[i].at("name")), expected[i][0]);
    EXPECT_EQ(std::any_cast<std::string>(nodes[i].at("id")), expected[i][1]);
    EXPECT_EQ(std::any_cast<std::string>(nodes[i].at("kind")), expected[i][2]);
    EXPECT_EQ(std::any_cast<std::string>(nodes[i].at("status")), expected[i][3]);
    EXPECT_EQ(std::any_cast<std::int64_t>(nodes[i].at("depth")), static_cast<std::int64_t>(i));
  }
}

TEST(SequentialEngineTest, BlackboardOperationsReadAndWriteRootEntries) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(main_tree(R"(<SetBlackboard value="v" output_key="written"/>)"));
  EXPECT_FALSE(engine.get_blackboard_data("missing").has_value());
  engine.set_blackboard_data("number", std::int64_t{7});
  engine.tick_once();
  auto all = engine.get_all_blackboard_data();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(std::any_cast<std::int64_t>(all.at("number")), 7);
  EXPECT_EQ(std::any_cast<std::string>(all.at("written")), "v");
}

TEST(SequentialEngineTest, ResetMakesEveryNodeIdleKeepsBlackboardAndRestartsCounters) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  actions.add(engine, "B", {R});
  engine.create_tree_from_text(main_tree("<Sequence><RunOnce><A/></RunOnce><B/></Sequence>"));
  engine.set_blackboard_data("kept", 1);
  engine.tick_n_times(2);
  EXPECT_EQ(actions.take_trace(), "A B B");
  engine.reset_tree();
  auto status = engine.get_tree_status();
  EXPECT_EQ(std::any_cast<std::string>(status.at("status")), "IDLE");
  EXPECT_EQ(std::any_cast<std::int64_t>(status.at("tick_count")), 0);
  EXPECT_EQ(std::any_cast<int>(engine.get_blackboard_data("kept")), 1);
  engine.tick_once();
  EXPECT_EQ(actions.take_trace(), "A B");  // RunOnce runs again after a reset
}

TEST(SequentialEngineTest, RebuildingReplacesTreeBlackboardAndCounters) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(main_tree("<AlwaysSuccess/>"));
  engine.set_blackboard_data("old", 1);
  engine.tick_once();
  engine.create_tree_from_text(main_tree("<AlwaysFailure/>"));
  EXPECT_TRUE(engine.get_all_blackboard_data().empty());
  EXPECT_EQ(std::any_cast<std::int64_t>(engine.get_tree_status().at("tick_count")), 0);
  EXPECT_EQ(engine.tick_once(), F);
}

// A user's exception type whose text is empty.
struct SilentError : std::exception {
  const char* what() const noexcept override { return ""; }
};

struct ThrowCase {
  std::string name;
  std::function<NodeStatus(core::TreeNode&)> tick;
  std::string message;
};

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class ThrowingTickTest : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(ThrowingTickTest, ErrorNamesTheNodeAndNextTickStartsAtTheRoot) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "Setup", {S});
  engine.register_action_behavior("Work", GetParam().tick, {});
  engine.create_tree_from_text(main_tree("<Sequence><Setup/><Work/></Sequence>"));
  for (int round = 0; round < 2; ++round) {
    try {
      engine.tick_once();
      FAIL() << "no error";
    } catch (const core::NodeTickError& e) {
      EXPECT_EQ(e.what(), GetParam().message);
    }
    EXPECT_EQ(actions.take_trace(), "Setup");
    EXPECT_EQ(std::any_cast<std::string>(engine.get_tree_status().at("status")), "IDLE");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Throwing, ThrowingTickTest,
    ::testing::Values(
        ThrowCase{"StandardException",
                  [](core::TreeNode&) -> NodeStatus { throw std::runtime_error("boom"); },
                  "node 'Work' (Work): boom"},
        ThrowCase{"EmptyStandardException",
                  [](core::TreeNode&) -> NodeStatus { throw std::runtime_error(""); },
                  "node 'Work' (Work): std::runtime_error"},
        ThrowCase{"EmptyUserException", [](core::TreeNode&) -> NodeStatus { throw SilentError(); },
                  "node 'Work' (Work): kelmora::testing::(anonymous "
                  "namespace)::SilentError"},
        ThrowCase{"OtherException", [](core::TreeNode&) -> NodeStatus { throw 42; },
                  "node 'Work' (Work): unknown exception"},
        ThrowCase{"IdleResult", [](core::TreeNode&) { return NodeStatus::IDLE; },
                  "node 'Work' (Work): a tick must not return IDLE"}),
    [](const auto& param_info) { return param_info.param.name; });

// A tick that threw leaves the tree as a halt does: every node IDLE, and the nodes that keep
// something across halts keep it (SequenceWithMemory its position, RunOnce its result). A reset
// makes them forget it.
struct ThrownTickCase {
  std::string name;
  std::string body;
  std::string first_trace;  // the tick that throws
  std::string after_throw;  // the next tick
  std::string after_reset;  // a tick after a reset that followed a throw
};

void PrintTo(const ThrownTickCase& c, std::ostream* os) { *os << c.name; }

class ThrownTickTest : public ::testing::TestWithParam<ThrownTickCase> {};

TEST_P(ThrownTickTest, LeavesTheTreeAsAHaltDoes) {
  const auto& c = GetParam();
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "A", {S});
  actions.add(engine, "C", {S});
  bool throw_next = true;
  engine.register_action_behavior("Flaky",
                                  [&](core::TreeNode&) -> NodeStatus {
                                    if (std::exchange(throw_next, false)) {
                                      throw std::runtime_error("flaky");
                                    }
                                    return S;
                                  },
                                  {});
  engine.create_tree_from_text(main_tree(c.body));
  EXPECT_THROW(engine.tick_once(), core::NodeTickError);
  EXPECT_EQ(actions.take_trace(), c.first_trace);
  for (const auto& node :
       std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"))) {
    EXPECT_EQ(std::any_cast<std::string>(node.at("status")), "IDLE");
  }
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(actions.take_trace(), c.after_throw);

  throw_next = true;
  EXPECT_THROW(engine.tick_once(), core::NodeTickError);
  actions.take_trace();
  engine.reset_tree();
  throw_next = false;
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(actions.take_trace(), c.after_reset);
}

INSTANTIATE_TEST_SUITE_P(
    Throwing, ThrownTickTest,
    ::testing::Values(ThrownTickCase{"SequenceStartsAgain", "<Sequence><A/><Flaky/><C/></Sequence>",
                                     "A", "A C", "A C"},
                      ThrownTickCase{"SequenceWithMemoryResumesAtTheChildThatThrew",
                                     "<SequenceWithMemory><A/><Flaky/><C/></SequenceWithMemory>",
                                     "A", "C", "A C"},
                      ThrownTickCase{"RunOnceThatRanStaysSkipped",
                                     "<Sequence><RunOnce><A/></RunOnce><Flaky/><C/></Sequence>",
                                     "A", "C", "A C"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(SequentialEngineTest, OperationsWithoutATreeFailClearly) {
  engine::SequentialEngine engine;
  const std::vector<std::pair<std::string, std::function<void()>>> operations = {
      {"tick_once", [&] { engine.tick_once(); }},
      {"tick_until_failure", [&] { engine.tick_until_failure(); }},
      {"tick_until_success", [&] { engine.tick_until_success(); }},
      {"tick_n_times", [&] { engine.tick_n_times(0); }},
      {"get_tree_status", [&] { engine.get_tree_status(); }},
      {"get_blackboard_data", [&] { engine.get_blackboard_data("k"); }},
      {"set_blackboard_data", [&] { engine.set_blackboard_data("k", 1); }},
      {"get_all_blackboard_data", [&] { engine.get_all_blackboard_data(); }},
      {"reset_tree", [&] { engine.reset_tree(); }}};
  for (const auto& [name, operation] : operations) {
    try {
      operation();
      ADD_FAILURE() << name << " did not fail";
    } catch (const core::NoTreeError& e) {
      EXPECT_STREQ(e.what(), "no tree has been built") << name;
      EXPECT_EQ(e.code(), Errc::no_tree) << name;
    }
  }
}

}  // namespace
}  // namespace kelmora::testing
