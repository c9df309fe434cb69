#include "stress_world.hpp"

#include <algorithm>
#include <any>
#include <chrono>
#include <cstdio>
#include <kelmora/core/errors.hpp>
#include <stdexcept>
#include <thread>
#include <typeinfo>
#include <utility>

#include "count_action.hpp"
#include "engine/trigger/host_protocol.hpp"

namespace kelmora::stress {
namespace {

using core::NodeStatus;

const std::string kCount = R"(<Count count_in="{count}" count_out="{count}"/>)";
std::string tree_of(const std::string& body) {
  return R"(<root BTCPP_format="4"><BehaviorTree ID="Main">)" + body + "</BehaviorTree></root>";
}
// Every tick adds one to the entry "count"; the shared trees also pause a little, so that stops
// and other callers meet ticks in progress.
const std::string kCountingXml = tree_of("<Sequence>" + kCount + "<AlwaysSuccess/></Sequence>");
const std::string kSharedXml = tree_of("<Sequence>" + kCount + "<Pause/></Sequence>");
const std::string kFailingXml = tree_of("<Sequence>" + kCount + "<Boom/></Sequence>");
const std::string kBrokenXml = tree_of("<Nope/>");

std::string missing(const std::string& id) { return "行为树ID " + id + " 不存在"; }
std::string taken(const std::string& id) { return "行为树ID " + id + " 已存在"; }
std::string failed(const std::string& id, const std::string& command, const std::string& why) {
  return "行为树 " + id + " 执行命令 " + command + " 失败: " + why;
}
std::string processing(const std::string& command, const std::string& why) {
  return "处理命令 " + command + " 时发生错误: " + why;
}

void register_actions(ThreadEngine& engine) {
  testing::register_count_action(engine);
  engine.register_action_behavior("Pause",
                                  [](core::TreeNode&) {
                                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                                    return NodeStatus::SUCCESS;
                                  },
                                  {});
  engine.register_action_behavior(
      "Boom", [](core::TreeNode&) -> NodeStatus { throw std::runtime_error("boom"); }, {});
}

std::int64_t as_int(const std::any& value) {
  if (!value.has_value()) return 0;
  const auto* i = std::any_cast<std::int64_t>(&value);
  return i ? *i : -1;
}

}  // namespace

void report_failure(StressCounters& counters, const std::string& message) {
  if (counters.failures.fetch_add(1) < 20)
    std::fprintf(stderr, "stress: FAIL: %s\n", message.c_str());
}

// --- the pool ---------------------------------------------------------------------------------

EnginePool::EnginePool(int engines) {
  for (int i = 0; i < engines; ++i) engines_.push_back(make_engine());
}

std::shared_ptr<ThreadEngine> EnginePool::make_engine() {
  auto engine = std::make_shared<ThreadEngine>();
  register_actions(*engine);
  for (int i = 0; i < kSharedTrees; ++i) {
    engine->create_tree_from_text(kSharedXml, "shared_" + std::to_string(i));
  }
  return engine;
}

std::shared_ptr<ThreadEngine> EnginePool::pick(std::mt19937_64& random) {
  std::lock_guard lock(mutex_);
  return engines_[random() % engines_.size()];
}

void EnginePool::replace_one(std::mt19937_64& random) {
  std::shared_ptr<ThreadEngine> fresh = make_engine();
  std::shared_ptr<ThreadEngine> old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(engines_[random() % engines_.size()], std::move(fresh));
  }
  // `old` goes here (destroying the engine and stopping its trees) unless someone still uses it.
}

void EnginePool::clear() {
  std::vector<std::shared_ptr<ThreadEngine>> old;
  {
    std::lock_guard lock(mutex_);
    old.swap(engines_);
  }
}

// --- one stress thread ------------------------------------------------------------------------

StressWorker::StressWorker(int index, std::uint64_t seed, EnginePool& pool,
                           StressCounters& counters)
    : index_(index), random_(seed), pool_(pool), counters_(counters) {}

void StressWorker::fail(const std::string& message) {
  report_failure(counters_, "thread " + std::to_string(index_) + ": " + message);
}

void StressWorker::run(const std::atomic<bool>& keep_going) {
  while (keep_going.load(std::memory_order_relaxed)) {
    try {
      step();
    } catch (const std::exception& e) {
      fail(std::string("unexpected ") + typeid(e).name() + ": " + e.what());
    }
    counters_.operations.fetch_add(1, std::memory_order_relaxed);
  }
  trees_.clear();
}

void StressWorker::step() {
  const int r = below(100);
  if (trees_.empty() || (r < 8 && trees_.size() < 8)) {
    create_own_tree();
  } else if (r < 55) {
    const std::size_t at = random_() % trees_.size();
    OwnTree& tree = trees_[at];
    bool gone = false;
    if (below(12) == 0) {
      gone = stop_own_tree(tree);
    } else if (tree.kind == Kind::kBroken) {
      command_broken_tree(tree);
    } else {
      command_own_tree(tree);
    }
    if (gone) trees_.erase(trees_.begin() + static_cast<std::ptrdiff_t>(at));
  } else if (r < 85) {
    command_shared_tree();
  } else if (r < 92) {
    stop_and_recreate_shared_tree();
  } else if (r < 95) {
    pool_.replace_one(random_);
    counters_.engines_replaced.fetch_add(1, std::memory_order_relaxed);
  } else if (r < 98) {
    private_engine_life();
  } else {
    trees_.clear();  // their engines may go with them, trees still running
  }
}

void StressWorker::create_own_tree() {
  OwnTree tree;
  tree.engine = pool_.pick(random_);
  tree.id = "t" + std::to_string(index_) + "_" + std::to_string(serial_++);
  const int r = below(10);
  tree.kind = r < 8 ? Kind::kCounting : r == 8 ? Kind::kFailing : Kind::kBroken;
  const std::string& xml = tree.kind == Kind::kCounting  ? kCountingXml
                           : tree.kind == Kind::kFailing ? kFailingXml
                                                         : kBrokenXml;
  const std::string id = tree.engine->create_tree_from_text(xml, tree.id);
  if (id != tree.id) fail("created " + tree.id + " but got the id " + id);
  counters_.trees_created.fetch_add(1, std::memory_order_relaxed);
  trees_.push_back(std::move(tree));
}

void StressWorker::verify_counters(OwnTree& tree) {
  ThreadEngine& engine = *tree.engine;
  const core::AnyMap status = engine.get_tree_status(tree.id);
  const auto ticks = status.find("tick_count");
  if (ticks == status.end() || as_int(ticks->second) != tree.tick_count) {
    fail(tree.id + ": tick_count is not " + std::to_string(tree.tick_count));
  }
  if (as_int(engine.get_blackboard_data(tree.id, "count")) != tree.count) {
    fail(tree.id + ": count is not " + std::to_string(tree.count));
  }
  const core::AnyMap all = engine.get_all_blackboard_data(tree.id);
  const auto entry = all.find("count");
  if (tree.count != 0 && (entry == all.end() || as_int(entry->second) != tree.count)) {
    fail(tree.id + ": get_all_blackboard_data lacks count " + std::to_string(tree.count));
  }
}

void StressWorker::command_own_tree(OwnTree& tree) {
  ThreadEngine& engine = *tree.engine;
  const std::string& id = tree.id;
  if (tree.kind == Kind::kFailing) {
    if (below(3) == 0) return verify_counters(tree);
    try {
      engine.tick_once(id);
      fail(id + ": a failing tick succeeded");
    } catch (const RuntimeError& e) {
      if (e.what() !=
          failed(id, "tick_once", processing("tick_once", "node 'Boom' (Boom): boom"))) {
        fail(id + ": wrong error: " + e.what());
      }
    }
    ++tree.count;  // Count ran before Boom threw; the thrown tick counts too
    ++tree.tick_count;
    return;
  }

  switch (below(9)) {
    case 0:
    case 1:
    case 2: {
      const int n = 1 + below(5);
      const auto statuses = engine.tick_n_times(id, n);
      if (statuses.size() != static_cast<std::size_t>(n) ||
          std::any_of(statuses.begin(), statuses.end(),
                      [](NodeStatus s) { return s != NodeStatus::SUCCESS; })) {
        fail(id + ": tick_n_times(" + std::to_string(n) + ") gave another caller's result");
      }
      tree.count += n;
      tree.tick_count += n;
      return;
    }
    case 3:
      if (engine.tick_once(id) != NodeStatus::SUCCESS) fail(id + ": tick_once did not succeed");
      ++tree.count;
      ++tree.tick_count;
      return;
    case 4:
      if (engine.tick_until_success(id) != 1) fail(id + ": tick_until_success is not 1");
      ++tree.count;
      ++tree.tick_count;
      return;
    case 5: {
      const std::string value = id + "/" + std::to_string(serial_++);
      engine.set_blackboard_data(id, "mine", value);
      if (core::any_to_text(engine.get_blackboard_data(id, "mine")) != value) {
        fail(id + ": read back another value than " + value);
      }
      return;
    }
    case 6:
      engine.reset_tree(id);
      tree.tick_count = 0;  // the blackboard, and so the count, is kept
      return verify_counters(tree);
    case 7:
      try {
        engine::trigger::host::send_command(engine, id, "tick_twice");
        fail(id + ": an unknown command succeeded");
      } catch (const RuntimeError& e) {
        if (e.what() != failed(id, "tick_twice", "未知命令类型: tick_twice")) {
          fail(id + ": wrong error: " + e.what());
        }
      }
      return;
    default:
      return verify_counters(tree);
  }
}

void StressWorker::command_broken_tree(OwnTree& tree) {
  const std::string first =
      "行为树线程 " + tree.id + " 发生错误: <xml text>:1: unknown node type 'Nope'";
  const std::string expected =
      failed(tree.id, "get_status", tree.first_command_done ? "工作线程已结束" : first);
  try {
    tree.engine->get_tree_status(tree.id);
    fail(tree.id + ": a tree that cannot be built answered");
  } catch (const RuntimeError& e) {
    if (e.what() != expected) fail(tree.id + ": wrong error: " + e.what());
  }
  tree.first_command_done = true;
}

bool StressWorker::stop_own_tree(OwnTree& tree) {
  tree.engine->stop_tree(tree.id);
  try {
    tree.engine->tick_once(tree.id);
    fail(tree.id + ": a stopped tree answered");
  } catch (const ValueError& e) {
    if (e.what() != missing(tree.id)) fail(tree.id + ": wrong error: " + e.what());
  }
  return true;
}

void StressWorker::command_shared_tree() {
  std::shared_ptr<ThreadEngine> engine = pool_.pick(random_);
  const std::string id = "shared_" + std::to_string(below(EnginePool::kSharedTrees));
  try {
    switch (below(3)) {
      case 0: {
        // Other threads write other keys of the same tree: ours must come back unchanged, or be
        // gone because the tree was stopped and made again in between.
        const std::string key = "k" + std::to_string(index_);
        const auto value = static_cast<std::int64_t>(serial_++);
        engine->set_blackboard_data(id, key, value);
        const std::any got = engine->get_blackboard_data(id, key);
        if (got.has_value() && as_int(got) != value) fail(id + ": read another caller's value");
        return;
      }
      case 1: {
        const int n = 1 + below(8);
        try {
          const auto statuses = engine->tick_n_times(id, n);
          if (statuses.size() != static_cast<std::size_t>(n)) {
            fail(id + ": tick_n_times(" + std::to_string(n) + ") gave another caller's result");
          }
        } catch (const RuntimeError& e) {
          // A stop met the loop.
          if (e.what() != failed(id, "tick_n_times",
                                 processing("tick_n_times", "tree was stopped while ticking"))) {
            fail(id + ": wrong error: " + e.what());
          }
        }
        return;
      }
      default: {
        const auto status = engine->get_tree_status(id);
        if (!status.contains("tick_count")) fail(id + ": status without tick_count");
        return;
      }
    }
  } catch (const ValueError& e) {
    if (e.what() != missing(id)) fail(id + ": wrong error: " + e.what());
  }
}

void StressWorker::stop_and_recreate_shared_tree() {
  std::shared_ptr<ThreadEngine> engine = pool_.pick(random_);
  const std::string id = "shared_" + std::to_string(below(EnginePool::kSharedTrees));
  try {
    engine->stop_tree(id);
  } catch (const ValueError& e) {
    if (e.what() != missing(id)) fail(id + ": wrong error: " + e.what());
  }
  try {
    if (engine->create_tree_from_text(kSharedXml, id) != id) fail(id + ": created another id");
    counters_.trees_created.fetch_add(1, std::memory_order_relaxed);
  } catch (const ValueError& e) {
    if (e.what() != taken(id)) fail(id + ": wrong error: " + e.what());
  }
}

void StressWorker::private_engine_life() {
  ThreadEngine engine;
  register_actions(engine);
  const std::vector<std::string> expected = {"tree_0", "tree_1", "tree_2"};
  for (const auto& id : expected) {
    if (engine.create_tree_from_text(kCountingXml) != id) fail("generated id is not " + id);
  }
  counters_.trees_created.fetch_add(3, std::memory_order_relaxed);
  if (engine.get_tree_ids() != expected) fail("private engine lists other trees");
  for (const auto& id : expected) {
    if (engine.tick_once(id) != NodeStatus::SUCCESS) fail(id + ": private tick failed");
  }
  if (below(2) == 0) engine.stop_tree("tree_1");
  // The engine ends here with its trees still running.
}

}  // namespace kelmora::stress
