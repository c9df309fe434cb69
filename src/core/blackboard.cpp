#include <kelmora/core/blackboard.hpp>
#include <utility>

namespace kelmora::core {

Blackboard::Blackboard(Key, std::shared_ptr<Blackboard> parent) : parent_(std::move(parent)) {}

std::shared_ptr<Blackboard> Blackboard::create(std::shared_ptr<Blackboard> parent) {
  return std::make_shared<Blackboard>(Key{}, std::move(parent));
}

std::pair<Blackboard*, std::string_view> Blackboard::route(std::string_view key) const {
  if (parent_) {
    if (auto it = remapping_.find(key); it != remapping_.end()) return {parent_.get(), it->second};
    if (autoremap_ && entries_.find(key) == entries_.end()) return {parent_.get(), key};
  }
  return {nullptr, key};
}

const std::any* Blackboard::find(std::string_view key) const {
  if (auto [owner, owner_key] = route(key); owner) return owner->find(owner_key);
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

bool Blackboard::has(const std::string& key) const { return find(key) != nullptr; }

std::optional<std::any> Blackboard::get(const std::string& key) const {
  if (const std::any* value = find(key)) return *value;
  return std::nullopt;
}

void Blackboard::set(const std::string& key, std::any value) { write(key, std::move(value)); }

void Blackboard::write(std::string_view key, std::any value) {
  if (auto [owner, owner_key] = route(key); owner) {
    owner->write(owner_key, std::move(value));
    return;
  }
  if (auto it = entries_.find(key); it != entries_.end()) {
    it->second = std::move(value);
  } else {
    entries_.emplace(std::string(key), std::move(value));
  }
}

AnyMap Blackboard::entries() const {
  AnyMap all;
  if (parent_ && autoremap_) all = parent_->entries();
  for (const auto& [key, value] : entries_) all[key] = value;
  if (parent_) {
    for (const auto& [key, parent_key] : remapping_) {
      if (auto value = parent_->get(parent_key)) all[key] = std::move(*value);
    }
  }
  return all;
}

void Blackboard::add_remapping(const std::string& key, const std::string& parent_key) {
  remapping_[key] = parent_key;
}

void Blackboard::enable_autoremap(bool on) { autoremap_ = on; }

}  // namespace kelmora::core
