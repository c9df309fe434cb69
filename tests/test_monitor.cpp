// The live monitor: its JSON endpoints and page, the event stream that follows ticks, and an
// engine that keeps ticking while many clients, vanishing clients, clients that never read and
// malformed requests come at the server.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <kelmora/engine/trigger/mthread.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_test.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"

// ThreadSanitizer: the monitor's server is Debian's compiled cpp-httplib, which is not built
// with ThreadSanitizer, so the hand-offs between its own threads are not all visible to it; races
// reported entirely inside that library are not ours to see.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }

namespace kelmora::testing {
namespace {

using core::NodeStatus;

const std::string kTree = R"(<root BTCPP_format="4"><BehaviorTree ID="Watch"><Sequence name="top">
    <Say text="{msg}"/><Act name="act"/></Sequence></BehaviorTree></root>)";

// The port of a "http://host:port/" URL.
int port_of(const std::string& url) {
  const auto colon = url.rfind(':');
  return std::stoi(url.substr(colon + 1));
}

struct Fixture {
  LogCapture log;
  ThreadEngine engine;
  Script script;
  std::atomic<bool> act_runs{false};
  std::string url;

  Fixture() {
    script.on_tick = [this](core::TreeNode&) {
      return act_runs ? NodeStatus::RUNNING : NodeStatus::SUCCESS;
    };
    script.install(engine);
    engine.register_action_behavior("Say", [](core::TreeNode&) { return NodeStatus::SUCCESS; },
                                    {core::make_port("text", "string", "input")});
    url = engine.serve_monitor();
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_of(url));
    c.set_read_timeout(30, 0);
    return c;
  }
};

TEST(MonitorTest, ServesThePageAndTheTreesAsJson) {
  Fixture f;
  EXPECT_EQ(f.url.rfind("http://127.0.0.1:", 0), 0u) << f.url;
  EXPECT_EQ(f.engine.serve_monitor(), f.url);  // already running: the same URL
  f.engine.create_tree_from_text(kTree, "a");
  f.engine.create_tree_from_text(kTree, "x y");
  f.engine.set_blackboard_data("a", "msg", std::string("hello"));
  f.engine.tick_once("a");
  f.engine.tick_once("x y");
  auto client = f.client();

  auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("new EventSource(\"/events\")"), std::string::npos);
  EXPECT_EQ(page->body.find("http"), page->body.find("http://www.w3.org/2000/svg"));  // offline

  auto list = client.Get("/api/trees");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->get_header_value("Content-Type"), "application/json");
  EXPECT_NE(list->body.find(R"({"id": "a", "main_tree": "Watch", "nodes": 3, "status": "SUCCESS")"),
            std::string::npos)
      << list->body;
  EXPECT_NE(list->body.find(R"("id": "x y")"), std::string::npos) << list->body;

  auto tree = client.Get("/api/trees/a");
  ASSERT_TRUE(tree);
  for (const char* part : {
           R"("blackboard": "msg = hello\n")",
           R"({"uid": 1, "name": "Say", "id": "Say", "kind": "Action", "parent": 0, )"
           R"("path": "top/Say", "status": "IDLE", "ports": {"text": "{msg}"}, "tick_count": 1, )"
           R"("success_count": 1, "failure_count": 0, "skip_count": 0, "halt_count": 0, )",
           R"("recent": [{"previous": "IDLE", "status": "SUCCESS", "time_us": )",
           R"({"previous": "SUCCESS", "status": "IDLE", "time_us": )",
       }) {
    EXPECT_NE(tree->body.find(part), std::string::npos) << part << "\nin\n" << tree->body;
  }
  auto spaced = client.Get("/api/trees/x%20y");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->status, 200);

  auto missing = client.Get("/api/trees/nope");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, R"({"error": "no tree 'nope'"})");
  auto unknown = client.Get("/nothing/here");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
}

TEST(MonitorTest, TreesStoppedLeaveTheListAndTreesIdleSinceBeforeAreListed) {
  LogCapture log;
  ThreadEngine engine;
  engine.create_tree_from_text(R"(<root BTCPP_format="4"><BehaviorTree ID="T"><AlwaysSuccess/>
      </BehaviorTree></root>)",
                               "old");
  engine.get_tree_status("old");  // built before the monitor starts
  const std::string url = engine.serve_monitor();
  httplib::Client client("127.0.0.1", port_of(url));
  auto list = client.Get("/api/trees");
  ASSERT_TRUE(list);
  EXPECT_NE(list->body.find(R"("id": "old")"), std::string::npos) << list->body;
  EXPECT_NE(list->body.find(R"("observed": false)"), std::string::npos) << list->body;
  engine.stop_tree("old");
  list = client.Get("/api/trees");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->body, "[]");
}

// Reads events from /events until `enough` says so; returns the data lines seen.
std::vector<std::string> read_events(httplib::Client& client,
                                     const std::function<bool(const std::string&)>& enough) {
  std::vector<std::string> data;
  std::string buffer;
  client.Get("/events", [&](const char* bytes, std::size_t size) {
    buffer.append(bytes, size);
    std::size_t end;
    while ((end = buffer.find("\n\n")) != std::string::npos) {
      const std::string event = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      const auto at = event.find("data: ");
      if (at == std::string::npos) continue;
      data.push_back(event.substr(at + 6));
      if (enough(data.back())) return false;  // disconnects mid-stream
    }
    return true;
  });
  return data;
}

TEST(MonitorTest, TheEventStreamFollowsTicks) {
  Fixture f;
  f.engine.create_tree_from_text(kTree, "a");
  f.engine.tick_once("a");  // every node back to IDLE but the root, SUCCESS
  auto client = f.client();
  bool ticked = false;
  const auto events = read_events(client, [&](const std::string& data) {
    if (data.find(R"("id": "a", "statuses": "SII")") != std::string::npos && !ticked) {
      f.act_runs = true;
      f.engine.tick_once("a");  // now RUNNING: Say SUCCESS, act RUNNING
      ticked = true;
      return false;
    }
    return data.find(R"("id": "a", "statuses": "RSR")") != std::string::npos;
  });
  ASSERT_GE(events.size(), 2u);
  EXPECT_NE(events.back().find(R"("statuses": "RSR")"), std::string::npos) << events.back();
}

// A raw connection to the monitor, for requests no HTTP client would send.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  void send(const std::string& bytes) { (void)!::write(fd_, bytes.data(), bytes.size()); }
  // What the server answers, up to `limit` bytes, until it closes or goes quiet.
  std::string receive(std::size_t limit = 4096) {
    std::string out;
    char buffer[1024];
    while (out.size() < limit) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
      if (out.find("\r\n\r\n") != std::string::npos) break;
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(MonitorTest, MalformedRequestsGetAnErrorAndTheServerGoesOn) {
  Fixture f;
  const int port = port_of(f.url);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not HTTP", "GARBAGE\r\n\r\n"},
      {"unknown method", "BREW /api/trees HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"huge header", "GET / HTTP/1.1\r\nX-Big: " + std::string(100000, 'a') + "\r\n\r\n"},
      {"bad percent escape", "GET /api/trees/%zz%ff HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  for (const auto& [name, request] : cases) {
    SCOPED_TRACE(name);
    RawClient raw(port);
    ASSERT_TRUE(raw.connected());
    raw.send(request);
    const std::string answer = raw.receive();
    if (!answer.empty()) {
      EXPECT_EQ(answer.rfind("HTTP/1.1 ", 0), 0u) << answer;
      EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos) << answer;
    }
  }
  auto client = f.client();
  auto list = client.Get("/api/trees");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->status, 200);
}

TEST(MonitorTest, ManyVanishingAndStalledClientsDoNotHoldUpTheTrees) {
  Fixture f;
  f.engine.create_tree_from_text(kTree, "a");
  f.engine.create_tree_from_text(kTree, "b");
  const int port = port_of(f.url);
  // Clients that ask for the stream and never read it.
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int i = 0; i < 4; ++i) {
    stalled.push_back(std::make_unique<RawClient>(port));
    stalled.back()->send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  std::atomic<bool> done{false};
  std::atomic<int> streams{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 12; ++i) {
    clients.emplace_back([&, i] {
      while (!done) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(30, 0);
        if (i % 3 == 0) {
          (void)client.Get("/api/trees/a");
          continue;
        }
        int seen = 0;
        read_events(client, [&seen](const std::string&) { return ++seen >= 1; });
        ++streams;
      }
    });
  }
  std::thread ticker_b([&] {
    for (int k = 0; k < 100; ++k) f.engine.tick_n_times("b", 100);
  });
  for (int k = 0; k < 100; ++k) f.engine.tick_n_times("a", 100);
  ticker_b.join();
  EXPECT_TRUE(wait_until([&] { return streams.load() >= 12; }));
  done = true;
  for (auto& c : clients) c.join();
  auto status = f.engine.get_tree_status("a");
  EXPECT_EQ(std::any_cast<std::int64_t>(status.at("tick_count")), 10000);
  f.engine.stop_monitor();  // with the stalled clients still connected
  httplib::Client after("127.0.0.1", port);
  EXPECT_FALSE(after.Get("/api/trees"));
}

TEST(MonitorTest, APortInUseIsRefused) {
  Fixture f;
  ThreadEngine other;
  const int port = port_of(f.url);
  EXPECT_EQ(error_of([&] { other.serve_monitor("127.0.0.1", port); }),
            "cannot serve the monitor on 127.0.0.1:" + std::to_string(port));
  other.stop_monitor();
}

}  // namespace
}  // namespace kelmora::testing
