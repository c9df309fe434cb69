#pragma once
// Monitor: the live view of an engine's trees, served over HTTP (cpp-httplib).
//
// The monitor is an observer: after each tick step a tree's worker applies the step's transitions
// to the monitor's copy of that tree (statuses, the last transitions of each node) and copies the
// nodes' counters and the blackboard as text. The server's
// threads read only those copies, under the monitor's mutex, which no one holds while waiting for
// anything: the server never touches a tree, and a slow or vanished client blocks only its own
// connection's thread.
//
// Endpoints (docs/observe.md): "/" the page, "/api/trees" and "/api/trees/<id>" JSON, "/events"
// Server-Sent Events with every tree's statuses, sent when they change (at most ten a second).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <kelmora/observe/observer.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace kelmora::observe::details {

class ObserverHub;

// The page "/" serves: the trees drawn as SVG, coloured by status, live through "/events".
const std::string& monitor_page();

class Monitor final : public Observer {
 public:
  // How many transitions the monitor keeps per node.
  static constexpr std::size_t kRecent = 8;

  // Listens on host:port (0: a free port) and serves from its own threads. Throws
  // kelmora::RuntimeError "cannot serve the monitor on HOST:PORT" when it cannot listen.
  Monitor(std::shared_ptr<ObserverHub> hub, const std::string& host, int port);
  // stop(). Never throws.
  ~Monitor() override;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // "http://HOST:PORT/". Thread-safe.
  const std::string& url() const noexcept { return url_; }
  // Ends the event streams, stops the server and joins its threads. Thread-safe; idempotent.
  void stop() noexcept;

  // Thread-safe (every tree's worker calls them).
  void on_step(const Step& step) override;
  void on_tree_end(const TreeShape& tree) override;

  // The bodies the endpoints serve; std::nullopt for an unknown tree. Thread-safe.
  std::string trees_json() const;
  std::optional<std::string> tree_json(const std::string& tree_id) const;
  // The event carrying every tree's statuses; `version` receives the version it shows.
  std::string statuses_event(std::uint64_t& version) const;

 private:
  struct View {
    std::shared_ptr<const TreeShape> shape;
    std::vector<core::NodeStatus> statuses;
    std::vector<core::NodeCounters> counters;
    // The last kRecent transitions of each node, oldest first.
    std::vector<std::vector<core::Transition>> recent;
    std::string blackboard;
    std::int64_t steps = 0;
    bool observed = false;  // a step has been seen since the monitor started
  };

  // The view of the shape's tree, made when missing. Call with mutex_ held.
  View& view_of(const std::shared_ptr<const TreeShape>& shape) const;
  // Adds views for trees built before the monitor started. Call with mutex_ held.
  void adopt_present() const;
  // Writes the next event of a stream: the statuses when they changed since `version` (at once
  // for the first event, else after a wait of up to a tenth of a second), a keep-alive comment
  // now and then (`idle` counts the quiet waits), else nothing.
  void serve_events(std::uint64_t& version, int& idle,
                    const std::function<bool(const std::string&)>& write);

  std::shared_ptr<ObserverHub> hub_;
  std::string url_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> listening_ended_{false};

  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  mutable std::map<std::uint64_t, View> views_;  // by sequence; guarded by mutex_
  std::uint64_t version_ = 0;                    // guarded by mutex_
  bool stopping_ = false;                        // guarded by mutex_
  std::mutex stop_mutex_;
};

}  // namespace kelmora::observe::details
