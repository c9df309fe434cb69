#pragma once
// Blackboard: the string-keyed store of one tree, holding values of any kind.
//
// Not thread-safe: it belongs to the thread that ticks its tree. Values that leave that thread
// (through ThreadEngine results) are copies of the std::any.

#include <any>
#include <kelmora/core/any.hpp>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kelmora::core {

class Blackboard {
 public:
  // A new, empty blackboard. A SubTree's blackboard has its caller's as `parent`: remapped keys
  // (and, with autoremap, every key not written locally) live there.
  static std::shared_ptr<Blackboard> create(std::shared_ptr<Blackboard> parent = nullptr);

  // Whether an entry exists here (or, for remapped keys, in the parent it refers to).
  bool has(const std::string& key) const;
  // The entry's value; std::nullopt when it was never written.
  std::optional<std::any> get(const std::string& key) const;
  // The entry's value without a copy; nullptr when it was never written. The pointer is valid
  // until the entry is next written (or the blackboard destroyed).
  const std::any* find(std::string_view key) const;
  // Writes the entry, creating it when absent. A remapped key writes the parent's entry; with
  // autoremap, a key that has no local entry is created in (or written to) the parent.
  void set(const std::string& key, std::any value);
  // Every entry of this blackboard (remapped parent entries under their local names; with
  // autoremap also every parent entry not shadowed by a local one).
  AnyMap entries() const;

  // Makes the local `key` an alias of `parent_key` in the parent blackboard (SubTree remapping).
  void add_remapping(const std::string& key, const std::string& parent_key);
  // Makes every key not written locally fall through to the parent (`_autoremap`).
  void enable_autoremap(bool on);

  const std::shared_ptr<Blackboard>& parent() const noexcept { return parent_; }

 private:
  // Lets create() use std::make_shared with a constructor nobody else can call.
  class Key {
    Key() = default;
    friend class Blackboard;
  };

 public:
  Blackboard(Key, std::shared_ptr<Blackboard> parent);

 private:
  // Where `key` lives: the parent with the parent's key, or nullptr for this blackboard. The
  // key refers to `key` or to this blackboard's remapping table.
  std::pair<Blackboard*, std::string_view> route(std::string_view key) const;
  void write(std::string_view key, std::any value);

  std::shared_ptr<Blackboard> parent_;
  std::map<std::string, std::any, std::less<>> entries_;
  std::map<std::string, std::string, std::less<>> remapping_;
  bool autoremap_ = false;
};

}  // namespace kelmora::core
