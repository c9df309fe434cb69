// Log handlers that use the engine: every line is written while no engine lock is held, so a
// handler may command, create or stop the tree the line is about.

#include <gtest/gtest.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <functional>
#include <kelmora/engine/sequential_engine.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/log.hpp>
#include <mutex>
#include <thread>

#include "engine/trigger/host_protocol.hpp"
#include "support/engine_test.hpp"
#include "support/log_capture.hpp"

namespace kelmora::testing {
namespace {

using core::NodeStatus;
using core::TreeNode;
using engine::trigger::ThreadEngine;
using Strings = std::vector<std::string>;

// A sink that records each line and then hands it to `react`, with no lock of its own held (a
// sink that kept its lock while the handler logs again would deadlock on itself). The handler is
// not called for lines written while it runs on the same thread.
class ReactingSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  using Handler = std::function<void(const std::string& text)>;
  explicit ReactingSink(Handler react) : react_(std::move(react)) {}

  Strings texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string text(msg.payload.data(), msg.payload.size());
    {
      std::lock_guard lock(mutex_);
      texts_.push_back(text);
    }
    thread_local bool reacting = false;
    if (reacting) return;
    reacting = true;
    react_(text);
    reacting = false;
  }
  void flush_() override {}

 private:
  Handler react_;
  mutable std::mutex mutex_;
  Strings texts_;
};

// The error the core gives for building `xml`.
std::string build_error(const std::string& xml) {
  engine::SequentialEngine sequential;
  return error_of([&] { sequential.create_tree_from_text(xml); });
}

// The tree id in "<prefix>X<suffix>", or "" when the text is not such a line.
std::string id_in(const std::string& text, const std::string& prefix, const std::string& suffix) {
  if (!text.starts_with(prefix)) return "";
  const auto end = suffix.empty() ? text.size() : text.find(suffix, prefix.size());
  return end == std::string::npos ? "" : text.substr(prefix.size(), end - prefix.size());
}

class LogHandlerTest : public ::testing::Test {
 protected:
  // Routes kelmora's log to a ReactingSink with `react` until the test ends.
  std::shared_ptr<ReactingSink> install(ReactingSink::Handler react) {
    auto sink = std::make_shared<ReactingSink>(std::move(react));
    auto logger = std::make_shared<spdlog::logger>("kelmora-react", sink);
    logger->set_level(spdlog::level::trace);
    log::set_logger(std::move(logger));
    return sink;
  }
  void TearDown() override { log::set_logger(nullptr); }

  // What the handler got, written by whichever thread it ran on.
  void note(std::string outcome) {
    std::lock_guard lock(mutex_);
    outcomes_.push_back(std::move(outcome));
  }
  Strings outcomes() {
    std::lock_guard lock(mutex_);
    return outcomes_;
  }

  Script script;
  ThreadEngine* engine = nullptr;

 private:
  std::mutex mutex_;
  Strings outcomes_;
};

std::string status_text(const core::AnyMap& status) {
  return "status " + core::any_to_text(status.at("status"));
}

const char* const kUnbuildable =
    R"(<root BTCPP_format="4"><BehaviorTree ID="T"><Nope/></BehaviorTree></root>)";

TEST_F(LogHandlerTest, HandlerOfTheCreationLineTicksTheNewTree) {
  install([this](const std::string& text) {
    const std::string id = id_in(text, "创建行为树: ", "");
    if (!id.empty()) note(id + " " + core::any_to_text(engine->tick_once(id)));
  });
  ThreadEngine e;
  engine = &e;
  script.install(e);
  EXPECT_EQ(e.create_tree_from_text(act_tree("A"), "x"), "x");
  EXPECT_EQ(outcomes(), (Strings{"x SUCCESS"}));
  EXPECT_EQ(script.journal(), (Strings{"A:tick"}));
}

TEST_F(LogHandlerTest, HandlerOfTheCallersFailureLineAsksTheTreeForItsStatus) {
  script.on_tick = [](TreeNode&) -> NodeStatus { throw std::runtime_error("boom"); };
  install([this](const std::string& text) {
    const std::string id = id_in(text, "行为树 ", " 执行命令 ");
    if (!id.empty()) note(id + " " + status_text(engine->get_tree_status(id)));
  });
  ThreadEngine e;
  engine = &e;
  script.install(e);
  e.create_tree_from_text(act_tree("A"), "x");
  EXPECT_EQ(
      error_of([&] { e.tick_once("x"); }),
      "行为树 x 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: node 'A' (Act): boom");
  EXPECT_EQ(outcomes(), (Strings{"x status IDLE"}));
}

TEST_F(LogHandlerTest, HandlerOfTheWorkersLinesCommandsTheTree) {
  // The worker's lines about a failed command: the handler may use the tree at once.
  script.on_tick = [](TreeNode&) -> NodeStatus { throw std::runtime_error("boom"); };
  const Strings worker_lines = {"处理命令 tick_once 时发生错误: node 'A' (Act): boom",
                                "未知命令类型: jump"};
  install([&](const std::string& text) {
    for (const auto& line : worker_lines) {
      if (text == line) note(line + " -> " + status_text(engine->get_tree_status("x")));
    }
  });
  ThreadEngine e;
  engine = &e;
  script.install(e);
  e.create_tree_from_text(act_tree("A"), "x");
  EXPECT_THROW(e.tick_once("x"), RuntimeError);
  EXPECT_THROW(engine::trigger::host::send_command(e, "x", "jump"), RuntimeError);
  EXPECT_EQ(outcomes(),
            (Strings{worker_lines[0] + " -> status IDLE", worker_lines[1] + " -> status IDLE"}));
}

TEST_F(LogHandlerTest, HandlerOfAWorkersFailureLineGetsTheTreesErrorAtOnce) {
  install([this](const std::string& text) {
    const std::string id = id_in(text, "行为树线程 ", " 发生错误: ");
    if (!id.empty()) note(error_of([&] { engine->get_tree_status(id); }));
  });
  ThreadEngine e;
  engine = &e;
  e.create_tree_from_text(kUnbuildable, "x");
  eventually([&] { return !outcomes().empty(); });
  const std::string worker_error = "行为树线程 x 发生错误: " + build_error(kUnbuildable);
  EXPECT_EQ(outcomes(), (Strings{"行为树 x 执行命令 get_status 失败: " + worker_error}));
  // The tree's error record is still there for the first caller.
  EXPECT_EQ(error_of([&] { e.tick_once("x"); }),
            "行为树 x 执行命令 tick_once 失败: " + worker_error);
}

TEST_F(LogHandlerTest, HandlersOfStopAndIdLinesCreateAndStopTrees) {
  install([this](const std::string& text) {
    if (auto id = id_in(text, "停止行为树: ", ""); !id.empty()) {
      note("recreated " + engine->create_tree_from_text(act_tree("B"), id));
    } else if (auto dup = id_in(text, "行为树ID ", " 已存在"); !dup.empty()) {
      engine->stop_tree(dup);
      note("stopped " + dup);
    } else if (auto missing = id_in(text, "行为树ID ", " 不存在"); !missing.empty()) {
      note("ids " + std::to_string(engine->get_tree_ids().size()));
    }
  });
  ThreadEngine e;
  engine = &e;
  script.install(e);
  e.create_tree_from_text(act_tree("A"), "x");
  e.stop_tree("x");
  EXPECT_EQ(outcomes(), (Strings{"recreated x"}));
  EXPECT_EQ(e.tick_once("x"), NodeStatus::SUCCESS);
  EXPECT_EQ(script.journal(), (Strings{"B:tick"}));
  // The handler stops x on the duplicate line (its own stop line does not reach it again).
  EXPECT_THROW(e.create_tree_from_text(act_tree("C"), "x"), ValueError);
  EXPECT_THROW(e.tick_once("nope"), ValueError);
  EXPECT_EQ(outcomes(), (Strings{"recreated x", "stopped x", "ids 0"}));
}

}  // namespace
}  // namespace kelmora::testing
