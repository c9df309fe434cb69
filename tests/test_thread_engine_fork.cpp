// An engine inherited across fork(): in the child its trees fail at once (their workers are not
// in that process) and stopping and destruction return at once; the parent is unaffected.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <kelmora/engine/trigger/mthread.hpp>
#include <memory>
#include <string>

#include "stress/process_stats.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using core::TreeNode;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;

const std::string kInherited = "此线程引擎是在 fork 之前创建的, 它的工作线程不在当前进程中";

std::string inherited_command(const std::string& id, const std::string& type) {
  return "行为树 " + id + " 执行命令 " + type +
         " 失败: 工作线程不在当前进程中 (线程引擎是在 fork 之前创建的)";
}

// The checks the child makes; a bit set in the result for each one that failed.
int child_checks(std::unique_ptr<ThreadEngine>& inherited, Script& script, LogCapture& log) {
  int failed = 0;
  int bit = 0;
  auto check = [&](bool ok) {
    if (!ok) failed |= 1 << bit;
    ++bit;
  };
  ThreadEngine& e = *inherited;
  log.clear();
  for (const std::string id : {"idle", "busy"}) {
    check(error_of([&] { e.tick_once(id); }) == inherited_command(id, "tick_once"));
    check(error_of([&] { e.get_tree_status(id); }) == inherited_command(id, "get_status"));
  }
  check(error_of([&] { e.get_tree_ids(); }) == kInherited);
  check(error_of([&] { e.create_tree_from_text(act_tree("X"), "new"); }) == kInherited);
  check(error_of([&] { e.trees(); }) == kInherited);
  check(code_of([&] { e.tick_once("idle"); }) == Errc::inherited);
  check(error_of([&] { e.register_action_behavior("Late", nullptr, {}); }) == kInherited);
  check(error_of([&] { e.stop_tree("idle"); }) == "(no error)");
  check(error_of([&] { e.stop_all_trees(); }) == "(no error)");
  inherited.reset();  // returns at once: nothing to join in this process
  check(log.lines().empty());
  // An engine made in the child is the child's own.
  ThreadEngine fresh;
  script.install(fresh);
  const std::string id = fresh.create_tree_from_text(act_tree("C"));
  check(fresh.tick_once(id) == NodeStatus::SUCCESS);
  fresh.stop_tree(id);
  return failed;
}

TEST(ForkTest, ChildFailsTheInheritedTreesAtOnceAndTheParentGoesOn) {
  ThreadBaseline baseline;
  LogCapture log;
  Script script;
  Gate ticking, release;
  script.on_tick = [&](TreeNode& node) {
    if (node.name() == "B") {
      ticking.open();
      release.wait();
    }
    return NodeStatus::SUCCESS;
  };
  auto engine = std::make_unique<ThreadEngine>();
  script.install(*engine);
  engine->create_tree_from_text(act_tree("A"), "idle");
  engine->create_tree_from_text(act_tree("B"), "busy");
  EXPECT_EQ(engine->tick_once("idle"), NodeStatus::SUCCESS);
  // At the fork a caller of "busy" waits in that tree's mailbox for its worker.
  auto busy = std::async(std::launch::async, [&] { return engine->tick_once("busy"); });
  ticking.wait();

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(child_checks(engine, script, log));

  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "bit mask of the child's failed checks";

  release.open();
  EXPECT_EQ(busy.get(), NodeStatus::SUCCESS);
  EXPECT_EQ(engine->tick_once("idle"), NodeStatus::SUCCESS);
  EXPECT_EQ(engine->get_tree_ids(), (Strings{"idle", "busy"}));
  engine.reset();
  EXPECT_EQ(baseline.surviving_new_threads(), Strings{});
}

}  // namespace
}  // namespace kelmora::testing
