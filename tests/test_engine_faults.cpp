// Model-server faults met inside trees run by the thread engine: the tree's command fails with
// the client's error, the tree keeps serving, the other trees never notice, and no thread or
// memory is left behind.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <kelmora/core/errors.hpp>
#include <kelmora/engine/trigger/mthread.hpp>
#include <kelmora/llm/agent.hpp>
#include <kelmora/llm/agent_nodes.hpp>
#include <kelmora/llm/errors.hpp>
#include <kelmora/llm/ollama.hpp>
#include <kelmora/llm/response_stream.hpp>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "standin/standin_server.hpp"
#include "stress/process_stats.hpp"
#include "support/log_capture.hpp"
#include "support/nested_error.hpp"
#include "support/refusing_port.hpp"
#include "support/wait.hpp"

namespace kelmora {
namespace {

using core::NodeStatus;
using llm::Agent;
using llm::Ollama;
using llm::ResponseStream;
using testing::StandinOptions;
using testing::StandinServer;

constexpr const char* kDescription = "You report faults.";
constexpr std::size_t kLineCap = 4096;

// MakeAgent makes an agent on `model_id` at 127.0.0.1:`port` with a read time-out of
// `timeout_ms` (five minutes when unset, so that no healthy answer depends on how fast a loaded
// machine serves it) and a small line cap; GetStreamResponse is the real node; Drain consumes the
// stream inside the tick and writes the whole answer to `answer`.
const std::string kTreeXml = R"(<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence>
  <MakeAgent model_id="{model}" port="{port}" timeout_ms="{timeout_ms}" agent="{agent}"/>
  <GetStreamResponse agent="{agent}" instructions="{instructions}" user_input="{user_input}"
                     response_stream="{response_stream}"/>
  <Drain response_stream="{response_stream}" answer="{answer}"/>
</Sequence></BehaviorTree></root>)";

void register_fault_actions(ThreadEngine& engine) {
  engine.register_action_behavior(
      "MakeAgent",
      [](core::TreeNode& node) {
        Ollama::Options options;
        options.id = node.getInputString("model_id");
        options.server =
            llm::ServerAddress{"http", "127.0.0.1",
                               static_cast<std::uint16_t>(std::stoi(node.getInputString("port")))};
        const std::any timeout = node.getInputObject("timeout_ms");
        options.read_timeout = std::chrono::milliseconds(
            timeout.has_value() ? std::stoll(core::any_to_text(timeout)) : 300'000);
        options.max_line_bytes = kLineCap;
        node.setOutput("agent", std::make_shared<Agent>(Agent::Options{
                                    .model = std::make_shared<Ollama>(std::move(options)),
                                    .description = kDescription}));
        return NodeStatus::SUCCESS;
      },
      {core::make_port("model_id", "string", "input"), core::make_port("port", "string", "input"),
       core::make_port("timeout_ms", "object", "input"),
       core::make_port("agent", "object", "output")});
  engine.register_action_class<llm::GetStreamResponse>("GetStreamResponse");
  engine.register_action_behavior("Drain",
                                  [](core::TreeNode& node) {
                                    auto stream = std::any_cast<std::shared_ptr<ResponseStream>>(
                                        node.getInputObject("response_stream"));
                                    std::string answer;
                                    for (const auto& item : *stream) answer += item.content;
                                    node.setOutput("answer", answer);
                                    return NodeStatus::SUCCESS;
                                  },
                                  {core::make_port("response_stream", "object", "input"),
                                   core::make_port("answer", "object", "output")});
}

// Makes a tree of kTreeXml that asks `model` on `port`.
void make_tree(ThreadEngine& engine, const std::string& id, std::uint16_t port,
               const std::string& model, const std::string& user_input) {
  engine.create_tree_from_text(kTreeXml, id);
  engine.set_blackboard_data(id, "port", std::to_string(port));
  engine.set_blackboard_data(id, "model", model);
  engine.set_blackboard_data(id, "user_input", user_input);
}

std::string answer_of(ThreadEngine& engine, const std::string& id) {
  return core::any_to_text(engine.get_blackboard_data(id, "answer"));
}

std::string server_prefix(std::uint16_t port, const std::string& model) {
  return "Ollama server http://127.0.0.1:" + std::to_string(port) + " (model \"" + model + "\"): ";
}

// The text of a tick_once that failed in Drain with the client's error `detail`.
std::string drain_failure(const std::string& id, const std::string& client_error) {
  return "行为树 " + id +
         " 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: node 'Drain' "
         "(Drain): " +
         client_error;
}

// Ticks `id` and returns the RuntimeError's text ("" when the tick succeeded).
std::string failed_tick(ThreadEngine& engine, const std::string& id) {
  try {
    engine.tick_once(id);
    return "";
  } catch (const RuntimeError& e) {
    return e.what();
  }
}

// Ticks the healthy tree and checks its whole answer.
void expect_healthy(ThreadEngine& engine, const std::string& id, const std::string& user_input) {
  EXPECT_EQ(engine.tick_once(id), NodeStatus::SUCCESS);
  EXPECT_EQ(answer_of(engine, id), StandinServer::answer("m", kDescription, user_input));
}

struct FaultCase {
  std::string model;  // "fail:<name>" makes the stand-in fail that way
  std::string detail;
};

TEST(EngineFaultTest, EachModelServerFaultFailsOnlyItsTreesTickAndTheTreeRecovers) {
  const testing::ThreadBaseline thread_baseline;
  {
    testing::LogCapture log;
    StandinOptions options;
    options.long_line_bytes = 10'000;
    StandinServer server(options);
    ThreadEngine engine;
    register_fault_actions(engine);
    make_tree(engine, "healthy", server.port(), "m", "q");
    const std::vector<FaultCase> cases = {
        {"fail:404", "HTTP status 404: model \"fail:404\" not found, try pulling it first"},
        {"fail:500", "HTTP status 500: stand-in: failure requested: internal server error"},
        {"fail:error-line",
         "the server reported an error: stand-in: failure requested: the model stopped"},
        {"fail:malformed",
         "the server sent a malformed line (not JSON): this line is not JSON (stand-in: failure "
         "requested)"},
        {"fail:no-done", "the answer ended without its final \"done\" line, so it is incomplete"},
        {"fail:long-line", "the server sent a line longer than 4096 bytes"},
        {"fail:stall", "nothing arrived from the server for 0.3 s (read time-out)"},
        {"fail:silent", "nothing arrived from the server for 0.3 s (read time-out)"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.model);
      log.clear();
      make_tree(engine, "faulty", server.port(), c.model, "q");
      // Only the faults that end in the read time-out get a short one.
      const bool times_out = c.detail.ends_with("(read time-out)");
      if (times_out) engine.set_blackboard_data("faulty", "timeout_ms", std::string("300"));
      // The faulty tick runs on its worker while the healthy tree is ticked from here.
      std::string error;
      std::thread faulty([&] { error = failed_tick(engine, "faulty"); });
      for (int i = 0; i < 3; ++i) expect_healthy(engine, "healthy", "q");
      faulty.join();

      const std::string client_error = server_prefix(server.port(), c.model) + c.detail;
      EXPECT_EQ(error, drain_failure("faulty", client_error));
      const std::string worker_line =
          "处理命令 tick_once 时发生错误: node 'Drain' (Drain): " + client_error;
      EXPECT_EQ(log.texts("error"), (std::vector<std::string>{worker_line, error}));
      EXPECT_FALSE(engine.get_blackboard_data("faulty", "answer").has_value());

      // The same tree serves the next command, and answers once its model works.
      engine.set_blackboard_data("faulty", "model", std::string("m"));
      if (times_out) engine.set_blackboard_data("faulty", "timeout_ms", std::string("300000"));
      expect_healthy(engine, "faulty", "q");
      engine.stop_tree("faulty");
    }
    engine.stop_all_trees();
  }
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
}

TEST(EngineFaultTest, StalledServerHoldsOnlyItsOwnTreeUntilItsConnectionEnds) {
  const testing::ThreadBaseline thread_baseline;
  {
    StandinServer server;
    ThreadEngine engine;
    register_fault_actions(engine);
    make_tree(engine, "stuck", server.port(), "fail:stall", "q");
    engine.set_blackboard_data("stuck", "timeout_ms", std::string("600000"));
    make_tree(engine, "healthy", server.port(), "m", "q");

    std::string error;
    std::thread stuck([&] { error = failed_tick(engine, "stuck"); });
    EXPECT_TRUE(testing::wait_until([&] { return !server.requests().empty(); }))
        << "the stalling request never reached the server";

    // Ten minutes of read time-out ahead of the stuck tick; everything else goes on.
    for (int i = 0; i < 5; ++i) expect_healthy(engine, "healthy", "q");
    engine.stop_tree("healthy");
    make_tree(engine, "later", server.port(), "m", "q");
    expect_healthy(engine, "later", "q");
    engine.stop_tree("later");

    server.stop();  // closes the stalled connection: the stuck tick ends with the client's error
    stuck.join();
    const std::string prefix =
        drain_failure("stuck", server_prefix(server.port(), "fail:stall") +
                                   "the connection ended before the answer was complete (");
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_FALSE(engine.get_tree_status("stuck").empty());  // and the tree serves again
    engine.stop_all_trees();
  }
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
}

// A one-connection-at-a-time loopback server that misbehaves at the socket level, in ways the
// stand-in does not: it drops the connection in the middle of an answer, or never ends a line.
class RawServer {
 public:
  enum class Act { kCloseMidAnswer, kResetMidAnswer, kEndlessLine };

  explicit RawServer(Act act) : act_(act), fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("RawServer cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);  // makes accept() return
    thread_.join();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }
  std::size_t bytes_sent() const { return sent_; }

 private:
  void serve() {
    for (;;) {
      const int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      answer(client);
      ::close(client);
    }
  }

  // Reads the request's head and its Content-Length body.
  static void read_request(int client) {
    std::string data;
    char buffer[4096];
    std::size_t body_end = std::string::npos;
    while (body_end == std::string::npos || data.size() < body_end) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      data.append(buffer, static_cast<std::size_t>(n));
      const auto head_end = data.find("\r\n\r\n");
      if (body_end == std::string::npos && head_end != std::string::npos) {
        const auto at = data.find("Content-Length: ");
        const std::size_t length = at < head_end ? std::stoul(data.substr(at + 16)) : 0;
        body_end = head_end + 4 + length;
      }
    }
  }

  bool send_text(int client, const std::string& text) {
    if (::send(client, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
      return false;
    sent_ += text.size();
    return true;
  }

  static std::string chunk(const std::string& data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
  }

  void answer(int client) {
    read_request(client);
    send_text(client,
              "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\n"
              "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
    if (act_ == Act::kEndlessLine) {
      const std::string piece = chunk(std::string(64 * 1024, 'x'));
      // Up to 64 MiB, or until the client gives up and hangs up.
      while (sent_ < (std::size_t{64} << 20) && send_text(client, piece)) {
      }
      return;
    }
    send_text(client, chunk(R"({"message":{"role":"assistant","content":"Hel"},"done":false})"
                            "\n"));
    if (act_ == Act::kResetMidAnswer) {
      const linger reset{1, 0};  // close with RST instead of FIN
      ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
  }

  const Act act_;
  const int fd_;
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

TEST(EngineFaultTest, ConnectionRefusedOrDroppedMidAnswerFailsTheTickAndOthersServe) {
  const testing::ThreadBaseline thread_baseline;
  {
    StandinServer standin;
    ThreadEngine engine;
    register_fault_actions(engine);
    make_tree(engine, "healthy", standin.port(), "m", "q");

    struct Case {
      const char* name;
      std::optional<RawServer::Act> act;  // none: nobody listens
      const char* detail_prefix;
    };
    const std::vector<Case> cases = {
        {"refused", std::nullopt, "cannot connect ("},
        {"closed", RawServer::Act::kCloseMidAnswer,
         "the connection ended before the answer was complete ("},
        {"reset", RawServer::Act::kResetMidAnswer,
         "the connection ended before the answer was complete ("},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      std::unique_ptr<RawServer> raw;
      std::unique_ptr<testing::RefusingPort> refusing;
      std::uint16_t port = 0;
      if (c.act) {
        raw = std::make_unique<RawServer>(*c.act);
        port = raw->port();
      } else {
        refusing = std::make_unique<testing::RefusingPort>();
        port = refusing->port();
      }
      make_tree(engine, "faulty", port, "m", "q");
      const std::string error = failed_tick(engine, "faulty");
      const std::string prefix =
          drain_failure("faulty", server_prefix(port, "m") + c.detail_prefix);
      EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
      expect_healthy(engine, "healthy", "q");
      EXPECT_FALSE(engine.get_tree_status("faulty").empty());
      engine.stop_tree("faulty");
    }
    engine.stop_all_trees();
  }
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
}

TEST(EngineFaultTest, ModelServerFailureInATickReachesTheCallerWithItsServerAndModel) {
  testing::RefusingPort refusing;
  ThreadEngine engine;
  register_fault_actions(engine);
  make_tree(engine, "faulty", refusing.port(), "qwen-test", "q");
  try {
    engine.tick_once("faulty");
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.code(), Errc::command_failed);
    const auto cause = testing::nested_of<llm::ModelServerError>(e);
    ASSERT_TRUE(cause) << "the client's own error, nested under the node's";
    EXPECT_EQ(cause->code(), Errc::model_server);
    EXPECT_EQ(cause->server(), "http://127.0.0.1:" + std::to_string(refusing.port()));
    EXPECT_EQ(cause->servers(), std::vector<std::string>{cause->server()});
    EXPECT_EQ(cause->model(), "qwen-test");
  }
}

TEST(EngineFaultTest, EndlessLineFailsAtTheLineCapWithMemoryBounded) {
  RawServer raw(RawServer::Act::kEndlessLine);
  ThreadEngine engine;
  register_fault_actions(engine);
  make_tree(engine, "endless", raw.port(), "m", "q");
  const double before_kib = testing::resident_kib();
  const std::string error = failed_tick(engine, "endless");
  const double grown_mib = (testing::resident_kib() - before_kib) / 1024.0;
  EXPECT_EQ(error, drain_failure("endless", server_prefix(raw.port(), "m") +
                                                "the server sent a line longer than 4096 bytes"));
  // The client stops reading at the cap: far less than the 64 MiB the server would send is held.
  EXPECT_LT(grown_mib, 32.0);
  engine.stop_all_trees();
}

// Points OLLAMA_HOST at a server for the test's length.
class OllamaHost {
 public:
  explicit OllamaHost(const std::string& value) { ::setenv("OLLAMA_HOST", value.c_str(), 1); }
  ~OllamaHost() { ::unsetenv("OLLAMA_HOST"); }
};

TEST(EngineFaultTest, HundredStreamsOpenAtOnceAcrossTreesEachGetTheirOwnAnswer) {
  constexpr int kTrees = 100;
  const testing::ThreadBaseline thread_baseline;
  {
    StandinOptions options;
    options.piece_delay_ms = 1;  // the answers trickle, so all streams are open together
    StandinServer server(options);
    OllamaHost host(server.address());
    ThreadEngine engine;
    engine.register_action_class<llm::CreateAgentOllama>("CreateAgentOllama");
    engine.register_action_class<llm::GetStreamResponse>("GetStreamResponse");
    const std::string xml = R"(<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence>
      <CreateAgentOllama model_id="{model}" description="d" agent="{agent}"/>
      <GetStreamResponse agent="{agent}" instructions="{instructions}"
                         user_input="{user_input}" response_stream="{response_stream}"/>
      </Sequence></BehaviorTree></root>)";
    // Every tenth tree's model fails mid-answer.
    auto model_of = [](int i) { return i % 10 == 0 ? std::string("fail:error-line") : "m"; };
    std::vector<std::shared_ptr<ResponseStream>> streams;
    for (int i = 0; i < kTrees; ++i) {
      const std::string id = "t" + std::to_string(i);
      engine.create_tree_from_text(xml, id);
      engine.set_blackboard_data(id, "model", model_of(i));
      engine.set_blackboard_data(id, "user_input", "问题 " + std::to_string(i));
      ASSERT_EQ(engine.tick_once(id), NodeStatus::SUCCESS);
      streams.push_back(std::any_cast<std::shared_ptr<ResponseStream>>(
          engine.get_blackboard_data(id, "response_stream")));
    }

    // Four consumers take the streams in turn, from the last made to the first.
    std::vector<std::string> answers(kTrees);
    std::vector<std::string> errors(kTrees);
    std::vector<std::thread> consumers;
    for (int c = 0; c < 4; ++c) {
      consumers.emplace_back([&, c] {
        for (int i = kTrees - 1 - c; i >= 0; i -= 4) {
          try {
            for (const auto& item : *streams[static_cast<std::size_t>(i)])
              answers[i] += item.content;
          } catch (const llm::ModelServerError& e) {
            errors[i] = e.what();
          }
        }
      });
    }
    for (auto& t : consumers) t.join();

    const std::string system = std::string("d ") + std::string(llm::kMarkdownInstruction);
    for (int i = 0; i < kTrees; ++i) {
      SCOPED_TRACE(i);
      const std::string model = model_of(i);
      const std::string full = StandinServer::answer(model, system, "问题 " + std::to_string(i));
      if (i % 10 == 0) {
        const auto pieces = StandinServer::answer_pieces(full, options.piece_chars);
        EXPECT_EQ(answers[i], pieces[0] + pieces[1]);
        EXPECT_EQ(errors[i], server_prefix(server.port(), model) +
                                 "the server reported an error: stand-in: failure requested: "
                                 "the model stopped");
      } else {
        EXPECT_EQ(answers[i], full);
        EXPECT_EQ(errors[i], "");
      }
    }
    EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kTrees));
    streams.clear();
    engine.stop_all_trees();
  }
  EXPECT_EQ(thread_baseline.surviving_new_threads(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kelmora
