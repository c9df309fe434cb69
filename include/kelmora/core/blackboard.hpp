#pragma once
// Blackboard: the string-keyed store of one tree, holding values of any kind, and the environment
// the tree's scripts run against.
//
// Every entry has a value (or none yet), a type and an update stamp:
// - The type is what scripts convert stores to. An entry is *locked* to a type when a script
//   creates it with its first value (`a := 1` makes an integer entry) or a typed port declares it
//   (lock_type). An entry the application, a SetBlackboard or a text or object port writes is
//   untyped: its type is that of the value it holds at the moment. A locked entry keeps its type:
//   set() converts a value of another kind to it (text is parsed, a whole real becomes an
//   integer) or refuses it.
// - The update stamp is the value of the blackboard's write counter after the entry's last write
//   (set, a script's store, a port's output): "was this entry written since I last looked" is a
//   comparison of two stamps. Stamps only grow, also across unset() and a new write.
//
// A SubTree's blackboard has its caller's as parent: remapped keys (and, with autoremap, every
// key not written locally, except keys starting with '_') live there. Scripts reach the tree's
// root blackboard with `@name` from any SubTree.
//
// Not thread-safe: it belongs to the thread that ticks its tree. Values that leave that thread
// (through ThreadEngine results) are copies of the std::any.

#include <any>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/scripting.hpp>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kelmora::core {

class Blackboard final : public scripting::Environment {
 public:
  // A new, empty blackboard. A SubTree's blackboard has its caller's as `parent`.
  static std::shared_ptr<Blackboard> create(std::shared_ptr<Blackboard> parent = nullptr);

  // Whether an entry exists here (or, for remapped keys, in the parent it refers to): it was
  // written, also with an empty value. An entry only declared (lock_type) does not count.
  bool has(const std::string& key) const;
  // The entry's value; std::nullopt when it does not exist (see has()).
  std::optional<std::any> get(const std::string& key) const;
  // The entry's value without a copy; nullptr when it holds none. The pointer is valid until the
  // entry is next written or removed (or the blackboard destroyed).
  const std::any* find(std::string_view key) const;
  // Writes the entry, creating it (untyped) when absent. A remapped key writes the parent's
  // entry; with autoremap, a key that has no local entry is created in (or written to) the
  // parent. An entry locked to a type takes the value converted to it (see the file comment);
  // one that cannot be converted throws kelmora::TypeError (a value of another kind) or
  // kelmora::ValueError (text that does not read as the entry's type), naming the entry, and
  // leaves it unchanged. An empty std::any clears the value and keeps the entry and its type.
  void set(const std::string& key, std::any value);
  // Removes the entry (type and stamp included); false when there was none.
  bool unset(std::string_view key);
  // Every entry holding a value (remapped parent entries under their local names; with
  // autoremap also every parent entry not shadowed by a local one).
  AnyMap entries() const;

  // The entry's update stamp (see the file comment); std::nullopt when it does not exist or has
  // never been written.
  std::optional<std::uint64_t> update_stamp(std::string_view key) const;
  // The type the entry is locked to; EntryType::none when it is untyped or does not exist.
  scripting::EntryType locked_type(std::string_view key) const;
  // Locks the entry to `type` (integer, real, string or boolean), creating it without a value
  // when absent; an untyped value it holds is converted to the type. Locking again to the same
  // type does nothing. Throws kelmora::TypeError naming both types when it is locked to another
  // one, and as set() when its value cannot be converted.
  void lock_type(const std::string& key, scripting::EntryType type);

  // Makes the local `key` an alias of `parent_key` in the parent blackboard (SubTree remapping).
  void add_remapping(const std::string& key, const std::string& parent_key);
  // Makes every key not written locally, except keys starting with '_', fall through to the
  // parent (`_autoremap`).
  void enable_autoremap(bool on);

  const std::shared_ptr<Blackboard>& parent() const noexcept { return parent_; }
  // The root of the chain of parents: the tree's root blackboard (this one for a root).
  Blackboard& root() const noexcept { return *root_; }

  // The enum names scripts on this tree know: set on the root blackboard, used by every
  // blackboard below it.
  void set_enums(std::shared_ptr<const scripting::EnumRegistry> enums) noexcept {
    enums_ = std::move(enums);
  }

  // --- scripting::Environment: `name` is this blackboard (remapping applied), `@name` the root.
  scripting::EntryState find(std::string_view name, scripting::Scope scope) const override;
  scripting::EntryState read(std::string_view name, scripting::Scope scope,
                             scripting::Value& out) const override;
  void create(std::string_view name, scripting::Scope scope, scripting::EntryType type) override;
  bool write(std::string_view name, scripting::Scope scope, const scripting::Value& value) override;
  std::string describe(std::string_view name, scripting::Scope scope) const override;
  const scripting::EnumRegistry* enums() const noexcept override { return root_->enums_.get(); }

 private:
  // Lets create() use std::make_shared with a constructor nobody else can call.
  class Key {
    Key() = default;
    friend class Blackboard;
  };

 public:
  Blackboard(Key, std::shared_ptr<Blackboard> parent);

 private:
  struct Entry {
    std::any value;
    scripting::EntryType locked = scripting::EntryType::none;
    std::uint64_t stamp = 0;  // 0: never written
  };

  // Where `key` lives, remapping followed through every parent: the blackboard that owns the
  // entry and its key there (which refers to `key` or to a remapping table).
  std::pair<Blackboard*, std::string_view> owner(std::string_view key) const;
  // The entry `key` names, remapping followed; nullptr when there is none.
  const Entry* entry(std::string_view key) const;
  // The blackboard a script's scope names, before remapping.
  const Blackboard& in(scripting::Scope scope) const noexcept {
    return scope == scripting::Scope::root ? *root_ : *this;
  }
  Blackboard& in(scripting::Scope scope) noexcept {
    return scope == scripting::Scope::root ? *root_ : *this;
  }
  // The owner's entry `key`, made (untyped, empty) when absent.
  Entry& make_entry(std::string_view key);
  // Marks an entry of this blackboard as written now.
  void touch(Entry& e) noexcept { e.stamp = ++writes_; }

  std::shared_ptr<Blackboard> parent_;
  Blackboard* root_;
  std::map<std::string, Entry, std::less<>> entries_;
  std::map<std::string, std::string, std::less<>> remapping_;
  bool autoremap_ = false;
  std::uint64_t writes_ = 0;  // the write counter behind the update stamps
  std::shared_ptr<const scripting::EnumRegistry> enums_;
};

}  // namespace kelmora::core
