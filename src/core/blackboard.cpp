#include <fmt/format.h>

#include <kelmora/core/blackboard.hpp>
#include <kelmora/core/errors.hpp>
#include <utility>

#include "scripting/values.hpp"

namespace kelmora::core {

using scripting::EntryType;
using scripting::Scope;
using scripting::Value;

namespace {

bool is_private(std::string_view key) noexcept { return !key.empty() && key.front() == '_'; }

// The type scripts see: the locked one, else that of the value held.
EntryType effective_type(EntryType locked, const std::any& value) {
  return locked != EntryType::none ? locked : scripting::entry_type_of(value);
}

// `value` converted for an entry locked to `type` (integer, real, string or boolean), as a
// script's store converts: text is read as a number, a whole real goes into an integer entry, 0
// and 1 into a boolean one. Throws TypeError or ValueError naming the entry.
std::any converted(std::string_view key, EntryType type, std::any value,
                   const scripting::EnumRegistry* enums) {
  if (!value.has_value() || type == EntryType::none || type == EntryType::other) return value;
  const EntryType held = scripting::entry_type_of(value);
  if (held == type) return value;
  const auto refuse = [&](std::string_view why) -> std::any {
    throw TypeError(
        fmt::format("cannot store {} in blackboard entry '{}', which holds {} values: {}",
                    any_kind_name(value), key, scripting::to_string(type), why));
  };
  Value v;
  if (held == EntryType::other || !scripting::read_any(value, v)) {
    return refuse("scripts and typed ports could not read it");
  }
  if (type == EntryType::string) return refuse("a number cannot go into a text entry");
  if (v.is_string()) {
    auto number = scripting::detail::text_to_number(v.as_string(), enums);
    if (!number) {
      throw ValueError(
          fmt::format("cannot store '{}' in blackboard entry '{}', which holds {} "
                      "values: the text is not a number",
                      v.as_string(), key, scripting::to_string(type)));
    }
    v = std::move(*number);
  }
  std::any slot;
  switch (type) {
    case EntryType::integer:
      if (v.kind() == Value::Kind::real) {
        const auto whole = scripting::detail::whole_integer(v.as_real());
        if (!whole) return refuse(fmt::format("{} is not a whole number", v.as_real()));
        v.set_integer(*whole);
      }
      break;
    case EntryType::real:
      v.set_real(v.as_real());
      break;
    case EntryType::boolean:
      if (v.as_real() != 0.0 && v.as_real() != 1.0) {
        return refuse("a boolean entry takes 0, 1, true or false");
      }
      v.set_integer(v.as_real() == 1.0 ? 1 : 0);
      break;
    default:
      break;
  }
  (void)scripting::write_any(slot, v, type);
  return slot;
}

}  // namespace

Blackboard::Blackboard(Key, std::shared_ptr<Blackboard> parent)
    : parent_(std::move(parent)), root_(parent_ ? parent_->root_ : this) {}

std::shared_ptr<Blackboard> Blackboard::create(std::shared_ptr<Blackboard> parent) {
  return std::make_shared<Blackboard>(Key{}, std::move(parent));
}

std::pair<Blackboard*, std::string_view> Blackboard::owner(std::string_view key) const {
  const Blackboard* at = this;
  for (;;) {
    if (!at->parent_) break;
    if (auto it = at->remapping_.find(key); it != at->remapping_.end()) {
      key = it->second;
    } else if (!(at->autoremap_ && !is_private(key) &&
                 at->entries_.find(key) == at->entries_.end())) {
      break;
    }
    at = at->parent_.get();
  }
  return {const_cast<Blackboard*>(at), key};
}

const Blackboard::Entry* Blackboard::entry(std::string_view key) const {
  auto [at, at_key] = owner(key);
  auto it = at->entries_.find(at_key);
  return it == at->entries_.end() ? nullptr : &it->second;
}

Blackboard::Entry& Blackboard::make_entry(std::string_view key) {
  auto [at, at_key] = owner(key);
  auto it = at->entries_.find(at_key);
  if (it == at->entries_.end()) it = at->entries_.emplace(std::string(at_key), Entry{}).first;
  return it->second;
}

const std::any* Blackboard::find(std::string_view key) const {
  const Entry* e = entry(key);
  // An entry written with an empty value exists (as it always did); one only declared does not.
  return e == nullptr || (!e->value.has_value() && e->stamp == 0) ? nullptr : &e->value;
}

bool Blackboard::has(const std::string& key) const { return find(key) != nullptr; }

std::optional<std::any> Blackboard::get(const std::string& key) const {
  if (const std::any* value = find(key)) return *value;
  return std::nullopt;
}

void Blackboard::set(const std::string& key, std::any value) {
  auto [at, at_key] = owner(key);
  auto it = at->entries_.find(at_key);
  if (it == at->entries_.end()) {
    Entry& e = at->entries_.emplace(std::string(at_key), Entry{std::move(value)}).first->second;
    at->touch(e);
    return;
  }
  Entry& e = it->second;
  e.value = converted(key, e.locked, std::move(value), enums());
  at->touch(e);
}

bool Blackboard::unset(std::string_view key) {
  auto [at, at_key] = owner(key);
  auto it = at->entries_.find(at_key);
  if (it == at->entries_.end()) return false;
  at->entries_.erase(it);
  return true;
}

AnyMap Blackboard::entries() const {
  AnyMap all;
  if (parent_ && autoremap_) {
    for (auto& [key, value] : parent_->entries()) {
      if (!is_private(key)) all.emplace(key, std::move(value));
    }
  }
  for (const auto& [key, e] : entries_) {
    if (e.value.has_value() || e.stamp != 0) {
      all[key] = e.value;
    } else {
      all.erase(key);
    }
  }
  if (parent_) {
    for (const auto& [key, parent_key] : remapping_) {
      if (const std::any* value = parent_->find(parent_key)) {
        all[key] = *value;
      } else {
        all.erase(key);
      }
    }
  }
  return all;
}

std::optional<std::uint64_t> Blackboard::update_stamp(std::string_view key) const {
  const Entry* e = entry(key);
  if (e == nullptr || e->stamp == 0) return std::nullopt;
  return e->stamp;
}

EntryType Blackboard::locked_type(std::string_view key) const {
  const Entry* e = entry(key);
  return e == nullptr ? EntryType::none : e->locked;
}

void Blackboard::lock_type(const std::string& key, EntryType type) {
  if (type == EntryType::none || type == EntryType::other) {
    throw ValueError(fmt::format("cannot lock blackboard entry '{}' to type {}", key,
                                 scripting::to_string(type)));
  }
  Entry& e = make_entry(key);
  if (e.locked == type) return;
  if (e.locked != EntryType::none) {
    throw TypeError(
        fmt::format("blackboard entry '{}' holds {} values; it cannot also hold {} "
                    "values",
                    key, scripting::to_string(e.locked), scripting::to_string(type)));
  }
  e.value = converted(key, type, std::move(e.value), enums());
  e.locked = type;
}

void Blackboard::add_remapping(const std::string& key, const std::string& parent_key) {
  remapping_[key] = parent_key;
}

void Blackboard::enable_autoremap(bool on) { autoremap_ = on; }

// --- scripting::Environment ------------------------------------------------------------------

scripting::EntryState Blackboard::find(std::string_view name, Scope scope) const {
  const Entry* e = in(scope).entry(name);
  if (e == nullptr) return {};
  return {true, effective_type(e->locked, e->value), e->value.has_value()};
}

scripting::EntryState Blackboard::read(std::string_view name, Scope scope, Value& out) const {
  const Entry* e = in(scope).entry(name);
  if (e == nullptr) return {};
  scripting::EntryState state{true, effective_type(e->locked, e->value), e->value.has_value()};
  if (state.has_value && state.type != EntryType::other && !scripting::read_any(e->value, out)) {
    state.type = EntryType::other;
  }
  return state;
}

void Blackboard::create(std::string_view name, Scope scope, EntryType type) {
  auto [at, at_key] = in(scope).owner(name);
  if (at->entries_.find(at_key) != at->entries_.end()) return;
  at->entries_.emplace(std::string(at_key), Entry{{}, type, 0});
}

bool Blackboard::write(std::string_view name, Scope scope, const Value& value) {
  auto [at, at_key] = in(scope).owner(name);
  auto it = at->entries_.find(at_key);
  if (it == at->entries_.end()) return false;
  Entry& e = it->second;
  if (!scripting::write_any(e.value, value, effective_type(e.locked, e.value))) return false;
  at->touch(e);
  return true;
}

std::string Blackboard::describe(std::string_view name, Scope scope) const {
  const Entry* e = in(scope).entry(name);
  if (e == nullptr) return "nothing";
  if (!e->value.has_value()) return std::string(scripting::to_string(e->locked));
  return any_kind_name(e->value);
}

}  // namespace kelmora::core
