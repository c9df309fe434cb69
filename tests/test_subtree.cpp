// SubTree blackboards: remapping to the caller's entries, literals, {=}, _autoremap, isolation.

#include <gtest/gtest.h>

#include "core_test_helpers.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;

// The main tree runs `subtree_element`; tree "Inner" copies its entry "in" to "out" and writes
// "private".
std::string with_inner(const std::string& subtree_element) {
  return R"(<root BTCPP_format="4" main_tree_to_execute="Main">
    <BehaviorTree ID="Main">)" +
         subtree_element + R"(</BehaviorTree>
    <BehaviorTree ID="Inner">
      <Sequence>
        <SetBlackboard value="{in}" output_key="out"/>
        <SetBlackboard value="secret" output_key="private"/>
      </Sequence>
    </BehaviorTree>
  </root>)";
}

std::string text(const std::any& value) {
  return value.has_value() ? std::any_cast<std::string>(value) : "<none>";
}

TEST(SubTreeTest, RemapsEntriesToTheCallersBlackboard) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(with_inner(R"(<SubTree ID="Inner" in="{source}" out="{target}"/>)"));
  engine.set_blackboard_data("source", std::string("value"));
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  EXPECT_EQ(text(engine.get_blackboard_data("target")), "value");
  EXPECT_EQ(text(engine.get_blackboard_data("private")), "<none>");
  EXPECT_EQ(text(engine.get_blackboard_data("out")), "<none>");
}

TEST(SubTreeTest, LiteralAttributesSetInnerEntries) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(with_inner(R"(<SubTree ID="Inner" in="literal" out="{=}"/>)"));
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  EXPECT_EQ(text(engine.get_blackboard_data("out")), "literal");
  EXPECT_EQ(engine.get_all_blackboard_data().size(), 1u);
}

TEST(SubTreeTest, AutoremapSharesEveryEntryOfTheSameName) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(with_inner(R"(<SubTree ID="Inner" _autoremap="true"/>)"));
  engine.set_blackboard_data("in", std::string("shared"));
  EXPECT_EQ(engine.tick_once(), NodeStatus::SUCCESS);
  EXPECT_EQ(text(engine.get_blackboard_data("out")), "shared");
  EXPECT_EQ(text(engine.get_blackboard_data("private")), "secret");
}

TEST(SubTreeTest, WithoutRemappingTheSubTreeSeesNothingOfTheCaller) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(with_inner(R"(<SubTree ID="Inner"/>)"));
  engine.set_blackboard_data("in", std::string("hidden"));
  EXPECT_THROW(engine.tick_once(), core::NodeTickError);  // "in" was never written in Inner
}

TEST(SubTreeTest, StatusMapListsSubTreeNodesBelowTheSubTreeNode) {
  engine::SequentialEngine engine;
  engine.create_tree_from_text(with_inner(R"(<SubTree ID="Inner" name="call" in="x"/>)"));
  auto nodes = std::any_cast<std::vector<core::AnyMap>>(engine.get_tree_status().at("nodes"));
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(std::any_cast<std::string>(nodes[0].at("name")), "call");
  EXPECT_EQ(std::any_cast<std::string>(nodes[0].at("kind")), "SubTree");
  EXPECT_EQ(std::any_cast<std::string>(nodes[1].at("id")), "Sequence");
  EXPECT_EQ(std::any_cast<std::int64_t>(nodes[3].at("depth")), 2);
}

}  // namespace
}  // namespace kelmora::testing
