// Errors, the enum registry, the std::any helpers and the in-memory environment.

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <kelmora/core/any.hpp>
#include <kelmora/core/scripting.hpp>
#include <limits>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>

namespace kelmora::core::scripting {

ScriptFailure::ScriptFailure(Errc code, const std::string& message, const std::string& script,
                             std::size_t position, const std::string& reason)
    : Error(code, message), script_(script), position_(position), reason_(reason) {}

ScriptParseError::ScriptParseError(std::string script, std::size_t position, std::string reason)
    : ScriptFailure(Errc::script_parse,
                    fmt::format("{} at position {} in script '{}'", reason, position, script),
                    script, position, reason) {}

ScriptError::ScriptError(std::string script, std::size_t position, std::string reason)
    : ScriptFailure(Errc::script_eval,
                    fmt::format("Script '{}' failed at position {}: {}", script, position, reason),
                    script, position, reason) {}

std::string_view to_string(EntryType type) noexcept {
  switch (type) {
    case EntryType::none:
      return "none";
    case EntryType::integer:
      return "integer";
    case EntryType::real:
      return "real";
    case EntryType::string:
      return "string";
    case EntryType::boolean:
      return "boolean";
    case EntryType::other:
      break;
  }
  return "other";
}

// --- enums ---------------------------------------------------------------------------------------

namespace {

bool is_identifier(std::string_view name) {
  if (name.empty()) return false;
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!letter(name.front())) return false;
  for (const char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

std::uint64_t length_bit(std::string_view name) noexcept {
  return std::uint64_t{1} << std::min<std::size_t>(name.size(), 63);
}

}  // namespace

void EnumRegistry::register_enum(std::string_view name, std::int64_t value) {
  if (!is_identifier(name) || name == "true" || name == "false") {
    throw ValueError(fmt::format(
        "Cannot register the enum name '{}': a name is letters, digits and '_', does not start "
        "with a digit and is not true or false",
        name));
  }
  const auto found = values_.find(name);
  if (found == values_.end()) {
    values_.emplace(std::string(name), value);
    index_.emplace(std::string(name), value);
    lengths_ |= length_bit(name);
  } else if (found->second != value) {
    throw ValueError(
        fmt::format("Cannot register the enum name '{}' as {}: it is already registered as {}",
                    name, value, found->second));
  }
}

std::optional<std::int64_t> EnumRegistry::find(std::string_view name) const noexcept {
  // Most names a script reads are entries, not enums: a length no enum has rules them out
  // without a search.
  if ((lengths_ & length_bit(name)) == 0) return std::nullopt;
  const auto found = index_.find(name);
  if (found == index_.end()) return std::nullopt;
  return found->second;
}

std::string Environment::describe(std::string_view, Scope) const { return "unknown"; }

// --- std::any ------------------------------------------------------------------------------------

namespace {

template <class... Ts>
bool holds(const std::type_info& type) {
  return ((type == typeid(Ts)) || ...);
}

// The C++ integer types an entry may hold (plain char is text-like and left out).
bool is_integer_type(const std::type_info& t) {
  return holds<std::int64_t, int, long, long long, short, signed char, unsigned, unsigned long,
               unsigned long long, unsigned short, unsigned char>(t);
}

template <class T>
bool integer_from(const std::any& value, Value& out) {
  const T v = std::any_cast<T>(value);
  if (!std::in_range<std::int64_t>(v)) return false;
  out.set_integer(static_cast<std::int64_t>(v));
  return true;
}

bool read_integer(const std::any& value, Value& out) {
  const std::type_info& t = value.type();
  if (t == typeid(std::int64_t)) return integer_from<std::int64_t>(value, out);
  if (t == typeid(int)) return integer_from<int>(value, out);
  if (t == typeid(long)) return integer_from<long>(value, out);
  if (t == typeid(long long)) return integer_from<long long>(value, out);
  if (t == typeid(short)) return integer_from<short>(value, out);
  if (t == typeid(signed char)) return integer_from<signed char>(value, out);
  if (t == typeid(unsigned)) return integer_from<unsigned>(value, out);
  if (t == typeid(unsigned long)) return integer_from<unsigned long>(value, out);
  if (t == typeid(unsigned long long)) return integer_from<unsigned long long>(value, out);
  if (t == typeid(unsigned short)) return integer_from<unsigned short>(value, out);
  if (t == typeid(unsigned char)) return integer_from<unsigned char>(value, out);
  return false;
}

template <class T>
bool put_integer(std::any& slot, std::int64_t value) {
  if (!std::in_range<T>(value)) return false;
  std::any_cast<T&>(slot) = static_cast<T>(value);
  return true;
}

// Writes into the integer type the slot already holds; false when it holds none.
bool write_same_integer(std::any& slot, std::int64_t value, bool& fits) {
  const std::type_info& t = slot.type();
  if (t == typeid(std::int64_t)) return fits = put_integer<std::int64_t>(slot, value), true;
  if (t == typeid(int)) return fits = put_integer<int>(slot, value), true;
  if (t == typeid(long)) return fits = put_integer<long>(slot, value), true;
  if (t == typeid(long long)) return fits = put_integer<long long>(slot, value), true;
  if (t == typeid(short)) return fits = put_integer<short>(slot, value), true;
  if (t == typeid(signed char)) return fits = put_integer<signed char>(slot, value), true;
  if (t == typeid(unsigned)) return fits = put_integer<unsigned>(slot, value), true;
  if (t == typeid(unsigned long)) return fits = put_integer<unsigned long>(slot, value), true;
  if (t == typeid(unsigned long long)) {
    return fits = put_integer<unsigned long long>(slot, value), true;
  }
  if (t == typeid(unsigned short)) return fits = put_integer<unsigned short>(slot, value), true;
  if (t == typeid(unsigned char)) return fits = put_integer<unsigned char>(slot, value), true;
  return false;
}

}  // namespace

EntryType entry_type_of(const std::any& value) {
  if (!value.has_value()) return EntryType::none;
  const std::type_info& t = value.type();
  if (is_integer_type(t)) return EntryType::integer;
  if (holds<double, float>(t)) return EntryType::real;
  if (holds<std::string, std::string_view, const char*>(t)) return EntryType::string;
  if (t == typeid(bool)) return EntryType::boolean;
  // A host's own values (the Python module's int, float, bool and str).
  if (auto scalar = any_as_scalar(value)) {
    if (std::holds_alternative<bool>(*scalar)) return EntryType::boolean;
    if (std::holds_alternative<std::int64_t>(*scalar)) return EntryType::integer;
    return EntryType::real;
  }
  if (any_as_string(value)) return EntryType::string;
  return EntryType::other;
}

bool read_any(const std::any& value, Value& out) {
  if (!value.has_value()) return false;
  const std::type_info& t = value.type();
  // The usual types first, by the address of their type's name: a miss costs no string
  // comparison (type_info's == compares names when the addresses differ).
  const char* name = t.name();
  if (name == typeid(std::int64_t).name())
    return out.set_integer(std::any_cast<std::int64_t>(value)), true;
  if (name == typeid(double).name()) return out.set_real(std::any_cast<double>(value)), true;
  if (name == typeid(std::string).name()) {
    return out.set_string(std::any_cast<const std::string&>(value)), true;
  }
  if (name == typeid(bool).name()) return out.set_integer(std::any_cast<bool>(value) ? 1 : 0), true;
  if (name == typeid(int).name()) return out.set_integer(std::any_cast<int>(value)), true;
  if (t == typeid(double)) return out.set_real(std::any_cast<double>(value)), true;
  if (read_integer(value, out)) return true;
  if (t == typeid(std::string))
    return out.set_string(std::any_cast<const std::string&>(value)), true;
  if (t == typeid(bool)) return out.set_integer(std::any_cast<bool>(value) ? 1 : 0), true;
  if (t == typeid(float)) return out.set_real(std::any_cast<float>(value)), true;
  if (t == typeid(std::string_view)) {
    return out.set_string(std::any_cast<std::string_view>(value)), true;
  }
  if (t == typeid(const char*)) {
    const char* text = std::any_cast<const char*>(value);
    if (text == nullptr) return false;
    return out.set_string(text), true;
  }
  if (is_integer_type(t)) return false;  // an unsigned value beyond the signed range
  if (auto scalar = any_as_scalar(value)) {
    if (const auto* b = std::get_if<bool>(&*scalar)) return out.set_integer(*b ? 1 : 0), true;
    if (const auto* i = std::get_if<std::int64_t>(&*scalar)) return out.set_integer(*i), true;
    return out.set_real(std::get<double>(*scalar)), true;
  }
  if (auto text = any_as_string(value)) return out.set_string(*text), true;
  return false;
}

bool write_any(std::any& slot, const Value& value, EntryType type) {
  if (type == EntryType::none) {
    type = value.kind() == Value::Kind::integer ? EntryType::integer
           : value.kind() == Value::Kind::real  ? EntryType::real
                                                : EntryType::string;
  }
  switch (type) {
    case EntryType::integer: {
      if (value.kind() != Value::Kind::integer) return false;
      bool fits = false;
      if (write_same_integer(slot, value.as_integer(), fits)) return fits;
      slot = value.as_integer();
      return true;
    }
    case EntryType::real:
      if (!value.is_number()) return false;
      if (slot.type() == typeid(float)) {
        const double real = value.as_real();
        if (std::isfinite(real) && std::fabs(real) > std::numeric_limits<float>::max()) {
          return false;
        }
        std::any_cast<float&>(slot) = static_cast<float>(real);
      } else if (slot.type() == typeid(double)) {
        std::any_cast<double&>(slot) = value.as_real();
      } else {
        slot = value.as_real();
      }
      return true;
    case EntryType::string:
      if (!value.is_string()) return false;
      if (slot.type() == typeid(std::string)) {
        std::any_cast<std::string&>(slot).assign(value.as_string());
      } else {
        slot = value.as_string();
      }
      return true;
    case EntryType::boolean:
      if (value.kind() != Value::Kind::integer || (value.as_integer() & ~std::int64_t{1}) != 0) {
        return false;
      }
      slot = value.as_integer() == 1;
      return true;
    case EntryType::none:
    case EntryType::other:
      break;
  }
  return false;
}

// --- MemoryEnvironment ---------------------------------------------------------------------------

void MemoryEnvironment::set(std::string_view name, std::any value) {
  const EntryType type = entry_type_of(value);
  auto found = entries_.find(name);
  if (found == entries_.end()) {
    entries_.emplace(std::string(name), Entry{std::move(value), type});
  } else {
    found->second = Entry{std::move(value), type};
  }
}

void MemoryEnvironment::declare(std::string_view name, EntryType type) {
  auto found = entries_.find(name);
  if (found == entries_.end()) {
    entries_.emplace(std::string(name), Entry{{}, type});
  } else {
    found->second = Entry{{}, type};
  }
}

const MemoryEnvironment::Entry* MemoryEnvironment::entry(std::string_view name) const {
  const auto found = entries_.find(name);
  return found == entries_.end() ? nullptr : &found->second;
}

const std::any* MemoryEnvironment::get(std::string_view name) const {
  const Entry* e = entry(name);
  return e == nullptr ? nullptr : &e->value;
}

std::optional<Value> MemoryEnvironment::value(std::string_view name) const {
  Value out;
  const EntryState state = read(name, Scope::local, out);
  if (!state.has_value || state.type == EntryType::other || state.type == EntryType::none) {
    return std::nullopt;
  }
  return out;
}

std::optional<EntryType> MemoryEnvironment::type_of(std::string_view name) const {
  const Entry* e = entry(name);
  if (e == nullptr) return std::nullopt;
  return e->type;
}

EntryState MemoryEnvironment::find(std::string_view name, Scope scope) const {
  const Entry* e = in(scope).entry(name);
  if (e == nullptr) return {};
  return {true, e->type, e->value.has_value()};
}

EntryState MemoryEnvironment::read(std::string_view name, Scope scope, Value& out) const {
  const Entry* e = in(scope).entry(name);
  if (e == nullptr) return {};
  EntryState state{true, e->type, e->value.has_value()};
  if (state.has_value && state.type != EntryType::other && !read_any(e->value, out)) {
    state.type = EntryType::other;
  }
  return state;
}

void MemoryEnvironment::create(std::string_view name, Scope scope, EntryType type) {
  auto& entries = in(scope).entries_;
  if (entries.find(name) == entries.end()) entries.emplace(std::string(name), Entry{{}, type});
}

bool MemoryEnvironment::write(std::string_view name, Scope scope, const Value& value) {
  auto& entries = in(scope).entries_;
  const auto found = entries.find(name);
  if (found == entries.end()) return false;
  Entry& e = found->second;
  if (!write_any(e.value, value, e.type)) return false;
  if (e.type == EntryType::none) e.type = entry_type_of(e.value);
  return true;
}

std::string MemoryEnvironment::describe(std::string_view name, Scope scope) const {
  const Entry* e = in(scope).entry(name);
  if (e == nullptr) return "nothing";
  if (!e->value.has_value()) return std::string(to_string(e->type));
  return demangled_type_name(e->value.type());
}

}  // namespace kelmora::core::scripting
