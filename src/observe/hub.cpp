// ObserverHub and TreeWatch: observers follow the trees of an engine.

#include "hub.hpp"

#include <exception>
#include <kelmora/log.hpp>
#include <utility>

namespace kelmora::observe::details {

ObserverHub::Id ObserverHub::add(std::shared_ptr<Observer> observer,
                                 std::optional<std::string> tree_id) {
  std::lock_guard lock(mutex_);
  const Id id = next_id_++;
  entries_.emplace(id, Entry{std::move(observer), std::move(tree_id)});
  generation_.fetch_add(1, std::memory_order_acq_rel);
  return id;
}

bool ObserverHub::remove(Id id) {
  std::shared_ptr<Observer> released;  // released after the lock, in case it is the last owner
  std::lock_guard lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  released = std::move(it->second.observer);
  entries_.erase(it);
  generation_.fetch_add(1, std::memory_order_acq_rel);
  return true;
}

void ObserverHub::remove(const Observer* observer) {
  std::vector<std::shared_ptr<Observer>> released;
  std::lock_guard lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.observer.get() == observer) {
      released.push_back(std::move(it->second.observer));
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

std::vector<std::shared_ptr<Observer>> ObserverHub::observers_of(const std::string& tree_id) const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<Observer>> observers;
  for (const auto& entry : entries_) {
    if (!entry.second.tree_id || *entry.second.tree_id == tree_id) {
      observers.push_back(entry.second.observer);
    }
  }
  return observers;
}

void ObserverHub::publish(std::shared_ptr<const TreeShape> shape) {
  std::lock_guard lock(mutex_);
  shapes_[shape->sequence] = std::move(shape);
}

void ObserverHub::withdraw(std::uint64_t sequence) {
  std::shared_ptr<const TreeShape> released;
  std::lock_guard lock(mutex_);
  auto it = shapes_.find(sequence);
  if (it == shapes_.end()) return;
  released = std::move(it->second);
  shapes_.erase(it);
}

std::vector<std::shared_ptr<const TreeShape>> ObserverHub::shapes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<const TreeShape>> all;
  all.reserve(shapes_.size());
  for (const auto& entry : shapes_) all.push_back(entry.second);
  return all;
}

std::shared_ptr<const TreeShape> ObserverHub::shape(const std::string& tree_id) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : shapes_) {
    if (entry.second->tree_id == tree_id) return entry.second;
  }
  return nullptr;
}

// --- the worker's side ---------------------------------------------------------------------

TreeWatch::TreeWatch(std::shared_ptr<ObserverHub> hub, std::string tree_id, std::uint64_t sequence,
                     std::string xml, std::chrono::system_clock::time_point created_at)
    : hub_(std::move(hub)),
      tree_id_(std::move(tree_id)),
      sequence_(sequence),
      xml_(std::move(xml)),
      created_at_(created_at) {}

TreeWatch::~TreeWatch() {
  if (!shape_) return;
  hub_->withdraw(sequence_);
  try {
    for (const auto& observer : hub_->observers_of(tree_id_)) {
      try {
        observer->on_tree_end(*shape_);
      } catch (const std::exception& e) {
        log::error("observer of tree " + tree_id_ + " failed and was removed: " + e.what());
        hub_->remove(observer.get());
      } catch (...) {
        log::error("observer of tree " + tree_id_ + " failed and was removed");
        hub_->remove(observer.get());
      }
    }
  } catch (...) {
    // Out of memory while telling the observers: the tree ends all the same.
  }
}

void TreeWatch::prepare(core::Tree& tree) {
  const std::uint64_t generation = hub_->generation();
  if (generation == seen_generation_) return;
  seen_generation_ = generation;
  observers_ = hub_->observers_of(tree_id_);
  tree.transitionLog().set_recording(!observers_.empty());
}

void TreeWatch::step(core::Tree& tree) {
  if (!shape_) {
    auto shape = std::make_shared<TreeShape>(describe_tree(tree));
    shape->tree_id = tree_id_;
    shape->sequence = sequence_;
    shape->xml = std::move(xml_);
    shape->created_at = created_at_;
    shape_ = shape;
    hub_->publish(shape_);
  }
  // Observers added since prepare() see the step (without its transitions, not recorded for
  // them); those removed since are not called.
  prepare(tree);
  if (observers_.empty()) return;
  core::TransitionLog& changes = tree.transitionLog();
  const Step step{*shape_, shape_, changes.pending(), tree};
  for (const auto& observer : observers_) {
    try {
      observer->on_step(step);
    } catch (const std::exception& e) {
      log::error("observer of tree " + tree_id_ + " failed and was removed: " + e.what());
      hub_->remove(observer.get());
    } catch (...) {
      log::error("observer of tree " + tree_id_ + " failed and was removed");
      hub_->remove(observer.get());
    }
  }
  changes.clear();
}

}  // namespace kelmora::observe::details
