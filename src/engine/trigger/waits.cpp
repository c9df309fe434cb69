#include "waits.hpp"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace kelmora::engine::trigger::details {
namespace {

struct Edge {
  const void* target;
  const std::string* target_name;
};

// The wait-for record: waiting worker (its tree record) -> the tree it waits for. Never destroyed,
// since workers may still wait while the process exits.
struct Graph {
  std::mutex mutex;
  std::unordered_map<const void*, Edge> waits;
};

std::atomic<std::uint64_t> g_fork_generation{0};

Graph& graph_instance() {
  static Graph* graph = new Graph;
  return *graph;
}

// Around fork(): the record's lock is taken so that the child never inherits it held; in the
// child, whose only thread is the one that forked, the waits recorded by the parent's workers are
// dropped and the generation moves on, so no engine of the parent takes the child for its own.
void before_fork() { graph_instance().mutex.lock(); }
void after_fork_in_parent() { graph_instance().mutex.unlock(); }
void after_fork_in_child() {
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  Graph& graph = graph_instance();
  graph.waits.clear();
  graph.mutex.unlock();
}

Graph& graph() {
  static const bool registered = [] {
    graph_instance();
    return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  static_cast<void>(registered);
  return graph_instance();
}

struct WorkerIdentity {
  const void* node = nullptr;
  const std::string* name = nullptr;
  std::uint64_t generation = 0;
};

thread_local WorkerIdentity t_worker;

}  // namespace

std::uint64_t fork_generation() noexcept {
  graph();  // the fork handlers are in place before any engine asks which process it is in
  return g_fork_generation.load(std::memory_order_relaxed);
}

WorkerScope::WorkerScope(const void* node, const std::string* name) noexcept {
  t_worker = WorkerIdentity{node, name, fork_generation()};
}

WorkerScope::~WorkerScope() { t_worker = WorkerIdentity{}; }

WaitFor::WaitFor(const void* target, const std::string& target_name) {
  const WorkerIdentity self = t_worker;
  if (self.node == nullptr || self.generation != fork_generation()) return;
  Graph& g = graph();
  std::lock_guard lock(g.mutex);
  // The record holds no cycle, so the chain ends; the bound only guards against a broken record.
  const void* key = target;
  bool closes = false;
  for (std::size_t steps = 0; steps <= g.waits.size(); ++steps) {
    if (key == self.node) {
      closes = true;
      break;
    }
    auto it = g.waits.find(key);
    if (it == g.waits.end()) break;
    key = it->second.target;
  }
  if (closes) {
    std::string text = *self.name + " -> " + target_name;
    for (key = target; key != self.node;) {
      const Edge& edge = g.waits.at(key);
      text += " -> " + *edge.target_name;
      key = edge.target;
    }
    cycle_ = std::move(text);
    return;
  }
  // A worker waits for one tree at a time: nothing runs on its thread while it waits.
  if (g.waits.try_emplace(self.node, Edge{target, &target_name}).second) waiter_ = self.node;
}

WaitFor::~WaitFor() {
  if (waiter_ == nullptr) return;
  Graph& g = graph();
  std::lock_guard lock(g.mutex);
  g.waits.erase(waiter_);
}

}  // namespace kelmora::engine::trigger::details
