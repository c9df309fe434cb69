// Operations that would tick, reset or rebuild a tree, called from inside a tick of that very
// tree: each is refused with a RuntimeError naming it, and the tree and its state stay as they
// were. Reading the tree's state and reading and writing its blackboard stay allowed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <kelmora/core/errors.hpp>
#include <kelmora/core/factory.hpp>
#include <optional>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
constexpr auto S = NodeStatus::SUCCESS;
constexpr auto R = NodeStatus::RUNNING;

// What a refused re-entrant call says, for the operation as the error names it.
std::string refusal(const std::string& operation) {
  return operation +
         " was called from inside a tick of the tree it would change; a tick may read the tree's "
         "status and read and write its blackboard, but not tick, reset or rebuild its own tree";
}

std::string data_path(const std::string& name) {
  const char* dir = std::getenv("KELMORA_TEST_DATA");
  return (std::filesystem::path(dir != nullptr ? dir : "tests/data") / "core" / name).string();
}

// The error `call` ends with: its text when it is a kelmora::RuntimeError, "(no error)" when it
// returns, "other: ..." for any other exception.
std::string outcome_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const RuntimeError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "(no error)";
}

struct ReentrantCase {
  std::string name;
  std::function<void(engine::SequentialEngine&)> call;
  std::string operation;
};

void PrintTo(const ReentrantCase& c, std::ostream* os) { *os << c.name; }

class ReentrantEngineCallTest : public ::testing::TestWithParam<ReentrantCase> {};

TEST_P(ReentrantEngineCallTest, IsRefusedNamingTheOperationAndChangesNothing) {
  engine::SequentialEngine engine;
  ScriptedActions actions;
  actions.add(engine, "Before", {S});
  actions.add(engine, "After", {R});
  std::optional<std::string> error;
  engine.register_action_behavior("Reenter",
                                  [&](core::TreeNode&) {
                                    if (!error)
                                      error = outcome_of([&] { GetParam().call(engine); });
                                    return S;
                                  },
                                  {});
  engine.create_tree_from_text(main_tree("<Sequence><Before/><Reenter/><After/></Sequence>"));
  engine.set_blackboard_data("kept", std::string("yes"));

  EXPECT_EQ(engine.tick_once(), R);  // the tick went on after the refusal
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, refusal(GetParam().operation));
  EXPECT_EQ(actions.take_trace(), "Before After");
  // The same tree, its state and its blackboard: the next tick resumes at the running action.
  auto status = engine.get_tree_status();
  EXPECT_EQ(std::any_cast<std::string>(status.at("status")), "RUNNING");
  EXPECT_EQ(std::any_cast<std::int64_t>(status.at("tick_count")), 1);
  EXPECT_EQ(std::any_cast<std::string>(status.at("main_tree")), "MainTree");
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("kept")), "yes");
  EXPECT_EQ(engine.tick_once(), R);
  EXPECT_EQ(actions.take_trace(), "After");
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ReentrantEngineCallTest,
    ::testing::Values(
        ReentrantCase{"CreateTreeFromText",
                      [](auto& e) { e.create_tree_from_text(main_tree("<AlwaysFailure/>")); },
                      "SequentialEngine::create_tree_from_text"},
        ReentrantCase{"CreateTreeFromFile",
                      [](auto& e) { e.create_tree_from_file(data_path("shared_trees.xml")); },
                      "SequentialEngine::create_tree_from_file"},
        ReentrantCase{
            "CreateTree",
            [](auto& e) { e.create_tree(core::TreeSource::from_text(main_tree("<AlwaysFailure/>"))); },
            "SequentialEngine::create_tree"},
        ReentrantCase{"TickOnce", [](auto& e) { e.tick_once(); }, "SequentialEngine::tick_once"},
        ReentrantCase{"TickUntilFailure", [](auto& e) { e.tick_until_failure(); },
                      "SequentialEngine::tick_until_failure"},
        ReentrantCase{"TickUntilSuccess", [](auto& e) { e.tick_until_success(); },
                      "SequentialEngine::tick_until_success"},
        ReentrantCase{"TickNTimes", [](auto& e) { e.tick_n_times(1); },
                      "SequentialEngine::tick_n_times"},
        ReentrantCase{"ResetTree", [](auto& e) { e.reset_tree(); },
                      "SequentialEngine::reset_tree"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(ReentrancyTest, ATickMayReadTheStatusAndReadAndWriteTheBlackboard) {
  engine::SequentialEngine engine;
  std::string seen;
  engine.register_action_behavior(
      "Inspect",
      [&](core::TreeNode&) {
        engine.set_blackboard_data("written", std::string("inside"));
        seen = std::any_cast<std::string>(engine.get_blackboard_data("given"));
        seen += " " + std::to_string(engine.get_all_blackboard_data().size());
        const auto nodes =
            std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"));
        seen += " " + std::any_cast<std::string>(nodes.at(0).at("status"));
        return S;
      },
      {});
  engine.create_tree_from_text(main_tree("<Sequence><Inspect/></Sequence>"));
  engine.set_blackboard_data("given", std::string("outside"));
  EXPECT_EQ(engine.tick_once(), S);
  EXPECT_EQ(seen, "outside 2 RUNNING");
  EXPECT_EQ(std::any_cast<std::string>(engine.get_blackboard_data("written")), "inside");
}

TEST(ReentrancyTest, ACycleThroughAnotherEngineIsRefusedWhereItComesBack) {
  engine::SequentialEngine first;
  engine::SequentialEngine second;
  std::string error;
  first.register_action_behavior("TickSecond", [&](core::TreeNode&) { return second.tick_once(); },
                                 {});
  second.register_action_behavior("TickFirst",
                                  [&](core::TreeNode&) {
                                    error = outcome_of([&] { first.tick_once(); });
                                    return S;
                                  },
                                  {});
  first.create_tree_from_text(main_tree("<TickSecond/>"));
  second.create_tree_from_text(main_tree("<TickFirst/>"));
  EXPECT_EQ(first.tick_once(), S);  // ticking another engine's tree is allowed
  EXPECT_EQ(error, refusal("SequentialEngine::tick_once"));
  EXPECT_EQ(std::any_cast<std::int64_t>(first.get_tree_status().at("tick_count")), 1);
}

struct ReentrantTreeCase {
  std::string name;
  std::function<void(core::Tree&)> call;
  std::string operation;
};

void PrintTo(const ReentrantTreeCase& c, std::ostream* os) { *os << c.name; }

class ReentrantTreeCallTest : public ::testing::TestWithParam<ReentrantTreeCase> {};

TEST_P(ReentrantTreeCallTest, IsRefusedNamingTheOperationAndChangesNothing) {
  core::BehaviorTreeFactory factory;
  core::Tree tree;
  std::optional<std::string> error;
  int after = 0;
  factory.register_action_behavior("Reenter",
                                   [&](core::TreeNode&) {
                                     if (!error) error = outcome_of([&] { GetParam().call(tree); });
                                     return S;
                                   },
                                   {});
  factory.register_action_behavior("After",
                                   [&](core::TreeNode&) {
                                     ++after;
                                     return R;
                                   },
                                   {});
  tree = factory.create_tree_from_text(main_tree("<Sequence><Reenter/><After/></Sequence>"));
  EXPECT_EQ(tree.tickOnce(), R);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, refusal(GetParam().operation));
  EXPECT_EQ(after, 1);
  EXPECT_EQ(tree.rootNode()->status(), R);
}

INSTANTIATE_TEST_SUITE_P(
    Tree, ReentrantTreeCallTest,
    ::testing::Values(
        ReentrantTreeCase{"TickOnce", [](auto& target) { target.tickOnce(); }, "Tree::tickOnce"},
        ReentrantTreeCase{"HaltTree", [](auto& target) { target.haltTree(); }, "Tree::haltTree"}),
    [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace kelmora::testing
