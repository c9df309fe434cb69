// Monitor: what the workers publish, and the HTTP server that shows it.

#include "monitor.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <kelmora/core/any.hpp>
#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <utility>

#include "hub.hpp"
#include "json.hpp"

namespace kelmora::observe::details {
namespace {

constexpr auto kEventEvery = std::chrono::milliseconds(100);
// An event stream ends after this long; the page's EventSource reconnects at once. So a client
// that stopped reading holds a server thread for a bounded time.
constexpr auto kStreamLength = std::chrono::seconds(20);
constexpr std::size_t kServerThreads = 32;

// One letter per status, for the event stream: I, R, S, F, K.
char status_letter(core::NodeStatus status) {
  switch (status) {
    case core::NodeStatus::IDLE:
      return 'I';
    case core::NodeStatus::RUNNING:
      return 'R';
    case core::NodeStatus::SUCCESS:
      return 'S';
    case core::NodeStatus::FAILURE:
      return 'F';
    case core::NodeStatus::SKIPPED:
      return 'K';
  }
  return 'I';
}

std::int64_t wall_us(std::chrono::steady_clock::time_point time) {
  return core::wall_clock_us(time);
}

}  // namespace

Monitor::Monitor(std::shared_ptr<ObserverHub> hub, const std::string& host, int port)
    : hub_(std::move(hub)), server_(std::make_unique<httplib::Server>()) {
  httplib::Server& server = *server_;
  // httplib takes ownership of the queue it is given.
  server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_max_count(100);
  // Not httplib's default (which adds SO_REUSEPORT): a port another server listens on is refused.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(monitor_page(), "text/html; charset=utf-8");
  });
  server.Get("/api/trees", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(trees_json(), "application/json");
  });
  server.Get(R"(/api/trees/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string id = req.matches[1];
    if (auto body = tree_json(id)) {
      res.set_content(*body, "application/json");
    } else {
      res.status = 404;
      res.set_content("{\"error\": " + json_string("no tree '" + id + "'") + "}",
                      "application/json");
    }
  });
  server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-cache");
    auto version = std::make_shared<std::uint64_t>(~std::uint64_t{0});
    auto idle = std::make_shared<int>(0);
    auto until = std::make_shared<std::chrono::steady_clock::time_point>(
        std::chrono::steady_clock::now() + kStreamLength);
    res.set_chunked_content_provider(
        "text/event-stream", [this, version, idle, until](std::size_t, httplib::DataSink& sink) {
          if (std::chrono::steady_clock::now() >= *until) {
            sink.done();
            return true;
          }
          bool stop = false;
          serve_events(*version, *idle, [&sink, &stop](const std::string& text) {
            if (!sink.write(text.data(), text.size())) stop = true;
            return !stop;
          });
          {
            std::lock_guard lock(mutex_);
            if (stopping_) stop = true;
          }
          return !stop;
        });
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      res.set_content("{\"error\": " + json_string("HTTP " + std::to_string(res.status)) + "}",
                      "application/json");
    }
  });

  int bound = port;
  bool ok = false;
  if (port == 0) {
    bound = server.bind_to_any_port(host);
    ok = bound > 0;
  } else {
    ok = server.bind_to_port(host, port);
  }
  if (!ok) {
    throw RuntimeError("cannot serve the monitor on " + host + ":" + std::to_string(port));
  }
  const bool ipv6 = host.find(':') != std::string::npos;
  url_ = "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/";
  thread_ = std::thread([this, &server] {
    server.listen_after_bind();
    listening_ended_ = true;
  });
  // Until the server runs, a stop() would not reach it (and the thread would never end).
  while (!server.is_running() && !listening_ended_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

Monitor::~Monitor() { stop(); }

void Monitor::stop() noexcept {
  std::lock_guard stop_lock(stop_mutex_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

Monitor::View& Monitor::view_of(const std::shared_ptr<const TreeShape>& shape) const {
  auto [it, added] = views_.try_emplace(shape->sequence);
  View& view = it->second;
  if (added) {
    view.shape = shape;
    view.statuses.assign(shape->nodes.size(), core::NodeStatus::IDLE);
    view.counters.assign(shape->nodes.size(), core::NodeCounters{});
    view.recent.assign(shape->nodes.size(), {});
  }
  return view;
}

void Monitor::adopt_present() const {
  for (const auto& shape : hub_->shapes()) view_of(shape);
}

void Monitor::on_step(const Step& step) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
  }
  // Read from the tree without the lock: only this worker uses the tree. Every step, so that
  // what the page shows is never older than the tree's last step.
  const std::vector<core::TreeNode*> nodes = step.live.nodes();
  std::vector<core::NodeCounters> counters;
  counters.reserve(nodes.size());
  for (const core::TreeNode* node : nodes) counters.push_back(node->counters());
  std::string blackboard;
  if (const auto& board = step.live.rootBlackboard()) {
    for (const auto& [key, value] : board->entries()) {
      blackboard += key + " = " + core::any_to_text(value) + "\n";
    }
  }
  std::lock_guard lock(mutex_);
  View& view = view_of(step.shape);
  ++view.steps;
  if (!view.observed) {
    // The first step seen: statuses as they are now, transitions from here on.
    view.observed = true;
    for (std::size_t i = 0; i < nodes.size() && i < view.statuses.size(); ++i) {
      view.statuses[i] = nodes[i]->status();
    }
  }
  for (const core::Transition& t : step.transitions) {
    if (t.node >= view.statuses.size()) continue;
    view.statuses[t.node] = t.status;
    auto& recent = view.recent[t.node];
    if (recent.size() == kRecent) recent.erase(recent.begin());
    recent.push_back(t);
  }
  if (counters.size() == view.counters.size()) view.counters = std::move(counters);
  view.blackboard = std::move(blackboard);
  ++version_;
}

void Monitor::on_tree_end(const TreeShape& tree) {
  std::lock_guard lock(mutex_);
  views_.erase(tree.sequence);
  ++version_;
}

std::string Monitor::trees_json() const {
  std::lock_guard lock(mutex_);
  adopt_present();
  std::string out = "[";
  bool first = true;
  for (const auto& [sequence, view] : views_) {
    const TreeShape& shape = *view.shape;
    if (!first) out += ", ";
    first = false;
    out += "{\"id\": " + json_string(shape.tree_id) +
           ", \"main_tree\": " + json_string(shape.main_tree) +
           ", \"nodes\": " + std::to_string(shape.nodes.size()) + ", \"status\": " +
           json_string(view.statuses.empty() ? "IDLE" : core::to_string(view.statuses[0])) +
           ", \"steps\": " + std::to_string(view.steps) +
           ", \"observed\": " + (view.observed ? "true" : "false") + "}";
  }
  return out + "]";
}

std::optional<std::string> Monitor::tree_json(const std::string& tree_id) const {
  std::lock_guard lock(mutex_);
  adopt_present();
  const View* found = nullptr;
  for (const auto& entry : views_) {
    if (entry.second.shape->tree_id == tree_id) found = &entry.second;
  }
  if (found == nullptr) return std::nullopt;
  const View& view = *found;
  const TreeShape& shape = *view.shape;
  std::string out = "{\"id\": " + json_string(shape.tree_id) +
                    ", \"main_tree\": " + json_string(shape.main_tree) +
                    ", \"xml\": " + json_string(shape.xml) + ", \"created_us\": " +
                    std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                       shape.created_at.time_since_epoch())
                                       .count()) +
                    ", \"steps\": " + std::to_string(view.steps) +
                    ", \"observed\": " + (view.observed ? "true" : "false") +
                    ", \"blackboard\": " + json_string(view.blackboard) + ", \"nodes\": [";
  for (std::size_t i = 0; i < shape.nodes.size(); ++i) {
    const NodeInfo& node = shape.nodes[i];
    const core::NodeCounters& c = view.counters[i];
    if (i > 0) out += ", ";
    out += "{\"uid\": " + std::to_string(node.uid) + ", \"name\": " + json_string(node.name) +
           ", \"id\": " + json_string(node.registration_id) +
           ", \"kind\": " + json_string(core::to_string(node.kind)) +
           ", \"parent\": " + (node.parent ? std::to_string(*node.parent) : std::string("null")) +
           ", \"path\": " + json_string(node.path) +
           ", \"status\": " + json_string(core::to_string(view.statuses[i])) + ", \"ports\": {";
    for (std::size_t p = 0; p < node.ports.size(); ++p) {
      if (p > 0) out += ", ";
      out += json_string(node.ports[p].first) + ": " + json_string(node.ports[p].second);
    }
    out += "}, \"tick_count\": " + std::to_string(c.ticks) +
           ", \"success_count\": " + std::to_string(c.successes) +
           ", \"failure_count\": " + std::to_string(c.failures) +
           ", \"skip_count\": " + std::to_string(c.skips) +
           ", \"halt_count\": " + std::to_string(c.halts) +
           ", \"last_change_us\": " + std::to_string(wall_us(c.last_change)) + ", \"recent\": [";
    const auto& recent = view.recent[i];
    for (std::size_t r = 0; r < recent.size(); ++r) {
      if (r > 0) out += ", ";
      out += "{\"previous\": " + json_string(core::to_string(recent[r].previous)) +
             ", \"status\": " + json_string(core::to_string(recent[r].status)) +
             ", \"time_us\": " + std::to_string(wall_us(recent[r].time)) + "}";
    }
    out += "]}";
  }
  return out + "]}";
}

std::string Monitor::statuses_event(std::uint64_t& version) const {
  std::lock_guard lock(mutex_);
  adopt_present();
  version = version_;
  std::string out = "{\"version\": " + std::to_string(version_) + ", \"trees\": [";
  bool first = true;
  for (const auto& [sequence, view] : views_) {
    if (!first) out += ", ";
    first = false;
    std::string letters;
    letters.reserve(view.statuses.size());
    for (core::NodeStatus s : view.statuses) letters += status_letter(s);
    out += "{\"id\": " + json_string(view.shape->tree_id) + ", \"statuses\": \"" + letters +
           "\", \"steps\": " + std::to_string(view.steps) +
           ", \"blackboard\": " + json_string(view.blackboard) + "}";
  }
  return out + "]}";
}

void Monitor::serve_events(std::uint64_t& version, int& idle,
                           const std::function<bool(const std::string&)>& write) {
  {
    std::unique_lock lock(mutex_);
    if (version != ~std::uint64_t{0}) {
      // Not the first event of the stream: wait a while, and send only if something changed.
      stopped_.wait_for(lock, kEventEvery, [this] { return stopping_; });
      if (stopping_ || version_ == version) {
        lock.unlock();
        // A comment now and then finds out a client that has gone.
        if (++idle >= 20) {
          idle = 0;
          write(": keep-alive\n\n");
        }
        return;
      }
    }
  }
  idle = 0;
  const bool first = version == ~std::uint64_t{0};
  const std::string data = statuses_event(version);
  write((first ? std::string("retry: 1000\n") : std::string()) + "event: statuses\ndata: " + data +
        "\n\n");
}

}  // namespace kelmora::observe::details
