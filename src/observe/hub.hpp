#pragma once
// ObserverHub: an engine's observers and the shapes of its built trees; TreeWatch: a tree
// worker's side of observation (the step hook of its SequentialEngine).
//
// The hub's mutex is held only for single steps on its tables, never while an observer runs, so
// observers may add and remove observers and use the engine. Workers notice changes through a
// generation counter, read once per tick step without a lock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <kelmora/core/tree.hpp>
#include <kelmora/observe/observer.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelmora::observe::details {

class ObserverHub {
 public:
  using Id = std::uint64_t;

  // Attaches `observer` to every tree (no id) or to the tree `tree_id`; returns its id.
  // Thread-safe.
  Id add(std::shared_ptr<Observer> observer, std::optional<std::string> tree_id);
  // Detaches the observer; false when there is no such id. A step in progress on a worker may
  // still call it once. Thread-safe.
  bool remove(Id id);
  // Detaches every attachment of `observer`. Thread-safe.
  void remove(const Observer* observer);
  // The observers of the tree, in the order they were added. Thread-safe.
  std::vector<std::shared_ptr<Observer>> observers_of(const std::string& tree_id) const;
  // Changes whenever an observer is added or removed. Thread-safe.
  std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // The shapes of the trees built and not yet ended, in creation order. Thread-safe.
  void publish(std::shared_ptr<const TreeShape> shape);
  void withdraw(std::uint64_t sequence);
  std::vector<std::shared_ptr<const TreeShape>> shapes() const;
  std::shared_ptr<const TreeShape> shape(const std::string& tree_id) const;

 private:
  struct Entry {
    std::shared_ptr<Observer> observer;
    std::optional<std::string> tree_id;
  };
  mutable std::mutex mutex_;
  std::map<Id, Entry> entries_;
  Id next_id_ = 1;
  std::atomic<std::uint64_t> generation_{0};
  std::map<std::uint64_t, std::shared_ptr<const TreeShape>> shapes_;
};

// One tree's observation, owned by its worker. Not thread-safe: only the worker uses it.
class TreeWatch {
 public:
  TreeWatch(std::shared_ptr<ObserverHub> hub, std::string tree_id, std::uint64_t sequence,
            std::string xml, std::chrono::system_clock::time_point created_at);
  // Withdraws the tree's shape and tells its observers that the tree has ended. Never throws.
  ~TreeWatch();
  TreeWatch(const TreeWatch&) = delete;
  TreeWatch& operator=(const TreeWatch&) = delete;

  // Before a tick step: follows the observers' changes, switching recording on and off.
  void prepare(core::Tree& tree);
  // After a tick step (and after the build): publishes the shape at the first call and hands the
  // step's transitions to the observers.
  void step(core::Tree& tree);

 private:
  std::shared_ptr<ObserverHub> hub_;
  std::string tree_id_;
  std::uint64_t sequence_;
  std::string xml_;
  std::chrono::system_clock::time_point created_at_;
  std::shared_ptr<const TreeShape> shape_;
  std::uint64_t seen_generation_ = ~std::uint64_t{0};
  std::vector<std::shared_ptr<Observer>> observers_;
};

}  // namespace kelmora::observe::details
