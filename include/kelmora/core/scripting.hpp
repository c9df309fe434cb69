#pragma once
// Scripts: the small expression language of behaviour-tree XML (the Script and ScriptCondition
// nodes, Precondition's `if`, and the `_skipIf`, `_while`, `_post`, ... attributes).
//
//   x := 5; label := x > 3 ? 'big' : 'small'
//   battery > 20 && state == IDLE
//
// A script is parsed once (Script::parse, normally when its tree is built) and evaluated many
// times against an Environment: the entries of a blackboard (`name`, or `@name` for the root
// blackboard) and the enum names the application registered. Evaluation reads and writes entries
// only through the Environment and allocates nothing for numbers, comparisons and logic; only
// string values may need memory. docs/scripting.md is the language reference.

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <kelmora/core/errors.hpp>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace kelmora::core::scripting {

// What the script errors below share: the script, the 0-based byte offset of the failure in its
// text, and what is wrong there without the position and the script ("Expected operand").
class ScriptFailure : public Error {
 public:
  const std::string& script() const noexcept { return script_; }
  std::size_t position() const noexcept { return position_; }
  const std::string& reason() const noexcept { return reason_; }

 protected:
  ScriptFailure(Errc code, const std::string& message, const std::string& script,
                std::size_t position, const std::string& reason);

 private:
  std::string script_;
  std::size_t position_;
  std::string reason_;
};

// A script could not be parsed. The message reads "<reason> at position <N> in script '<code>'",
// e.g. "Expected operand at position 5 in script 'a := '"; position() == script().size() means
// "at the end".
class ScriptParseError : public ScriptFailure {
 public:
  ScriptParseError(std::string script, std::size_t position, std::string reason);
};

// A parsed script failed while it was evaluated: an entry that does not exist, operands of the
// wrong kind, a value its entry cannot hold, a condition that is not 0 or 1. The message reads
// "Script '<code>' failed at position <N>: <reason>"; the position is the operator, name or
// statement that failed.
class ScriptError : public ScriptFailure {
 public:
  ScriptError(std::string script, std::size_t position, std::string reason);
};

// A script value: a 64-bit integer, a real (double) or a string. Scripts have no separate
// boolean: true and false are the reals 1 and 0.
class Value {
 public:
  enum class Kind : std::uint8_t { integer, real, string };

  Value() noexcept = default;  // the integer 0
  static Value integer(std::int64_t value) noexcept;
  static Value real(double value) noexcept;
  static Value string(std::string text) noexcept;

  Kind kind() const noexcept { return kind_; }
  bool is_number() const noexcept { return kind_ != Kind::string; }
  bool is_string() const noexcept { return kind_ == Kind::string; }
  // The integer (only for Kind::integer).
  std::int64_t as_integer() const noexcept { return integer_; }
  // The number as a double (for Kind::integer and Kind::real).
  double as_real() const noexcept {
    return kind_ == Kind::integer ? static_cast<double>(integer_) : real_;
  }
  // The text (only for Kind::string).
  const std::string& as_string() const noexcept { return text_; }

  // Setters that keep the string's buffer, so a Value reused across evaluations stops allocating.
  void set_integer(std::int64_t value) noexcept;
  void set_real(double value) noexcept;
  void set_string(std::string_view text);
  // Appends to the text (only for Kind::string).
  void append(std::string_view text) { text_.append(text); }

  // The value as `..` writes it: integers in decimal ("2"), reals as std::to_string writes them
  // ("1.500000"), strings unchanged.
  std::string to_text() const;
  // Same kind and same value (reals compared exactly; NaN equals NaN). For tests and tools; the
  // script operator `==` has its own rules.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  Kind kind_ = Kind::integer;
  std::int64_t integer_ = 0;
  double real_ = 0.0;
  std::string text_;
};

namespace detail {
// Hashes std::string keys and looks them up by std::string_view.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};
}  // namespace detail

// Enum names scripts can use as numbers (`state == IDLE`). An application fills one registry and
// hands it to the environments its scripts run against.
// Not thread-safe: fill it before scripts use it; after that, concurrent readers are safe.
class EnumRegistry {
 public:
  // Registers `name` with `value`. Registering a name again with the same value does nothing;
  // with another value, or a name that is not an identifier (letters, digits and `_`, not
  // starting with a digit; not `true` or `false`), throws kelmora::ValueError naming both.
  void register_enum(std::string_view name, std::int64_t value);

  // Registers every name of a C++ enum: `register_enum<Mode>({{"IDLE", Mode::idle}, ...})`.
  template <class E>
  requires std::is_enum_v<E>
  void register_enum(std::initializer_list<std::pair<std::string_view, E>> values) {
    for (const auto& [name, value] : values) {
      register_enum(name, static_cast<std::int64_t>(value));
    }
  }

  // The value of a registered name.
  std::optional<std::int64_t> find(std::string_view name) const noexcept;
  bool empty() const noexcept { return values_.empty(); }
  const std::map<std::string, std::int64_t, std::less<>>& values() const noexcept {
    return values_;
  }

 private:
  std::map<std::string, std::int64_t, std::less<>> values_;
  // For find(): the names hashed, and a mask with bit min(length, 63) set for every registered
  // name's length, which rules most entry names out at once.
  std::unordered_map<std::string, std::int64_t, detail::NameHash, std::equal_to<>> index_;
  std::uint64_t lengths_ = 0;
};

// Which blackboard a name refers to: `name` is local, `@name` the root of the tree.
enum class Scope : std::uint8_t { local, root };

// The type of an entry, as scripts see it: the type it was locked to, or else the type of the
// value it holds. Stores into an entry convert to its type (docs/scripting.md).
enum class EntryType : std::uint8_t {
  none,     // no type yet (an entry created empty): the first value stored decides
  integer,  // any C++ integer type
  real,     // double or float
  string,   // text
  boolean,  // bool: read as the integer 0 or 1; takes 0, 1, 'true', 'false'
  other,    // any other C++ type: scripts cannot compute with it (the environment may parse text
            // into it)
};

// "none", "integer", "real", "string", "boolean", "other". Thread-safe.
std::string_view to_string(EntryType type) noexcept;

// What an Environment knows of an entry.
struct EntryState {
  bool exists = false;
  EntryType type = EntryType::none;
  bool has_value = false;
};

// The entries a script reads and writes, and the enum names it knows. A blackboard implements it
// for scripts in trees; MemoryEnvironment is a self-contained one. Evaluation calls it from the
// evaluating thread only.
class Environment {
 public:
  virtual ~Environment() = default;

  // The entry's state; `exists` is false when there is no entry of that name in that scope.
  virtual EntryState find(std::string_view name, Scope scope) const = 0;
  // The entry's state, as find(); when it exists, holds a value and its type is integer, real,
  // string or boolean, also sets `out` to that value (a boolean as the integer 0 or 1). `out` is
  // the caller's, so its string buffer is reused.
  virtual EntryState read(std::string_view name, Scope scope, Value& out) const = 0;
  // Creates an entry that does not exist yet, with no value and the given type (the type of the
  // value the script is about to store).
  virtual void create(std::string_view name, Scope scope, EntryType type) = 0;
  // Stores a value into an existing entry. The evaluator has already converted it to the
  // entry's type: Kind::integer for integer entries, Kind::real for real ones, Kind::string for
  // string ones, the integer 0 or 1 for boolean ones; for `none` the value's kind is the entry's
  // new type; for `other` it is the script's value as it is. Returns false, leaving the entry
  // unchanged, when the entry cannot hold it (a narrower C++ integer type out of range, text its
  // type cannot parse); the evaluator then reports the failure.
  virtual bool write(std::string_view name, Scope scope, const Value& value) = 0;
  // The kind of value the entry holds, for messages ("std::vector<int>"); called on errors only.
  virtual std::string describe(std::string_view name, Scope scope) const;
  // The enum names the scripts know; nullptr for none.
  virtual const EnumRegistry* enums() const noexcept { return nullptr; }
};

// Helpers for environments that keep std::any values (kelmora's blackboard does).
// entry_type_of: integer for every C++ integer type, real for double and float, string for
// std::string, std::string_view and const char*, boolean for bool, none for an empty value;
// values of other types that a host taught kelmora (core::add_any_hooks) count as their number
// or text; everything else is `other`. Thread-safe.
EntryType entry_type_of(const std::any& value);
// Sets `out` from a value whose entry_type_of is integer, real, string or boolean; false for
// anything else (and for unsigned values beyond the 64-bit signed range). Thread-safe.
bool read_any(const std::any& value, Value& out);
// Stores a value converted for `type` (see Environment::write) into `slot`. A slot holding a C++
// arithmetic type or std::string keeps it (an int stays an int, range-checked; a float stays a
// float); any other slot gets std::int64_t, double, std::string or bool according to `type`.
// Returns false, leaving the slot unchanged, when the value does not fit or `type` is other.
// Thread-safe.
bool write_any(std::any& slot, const Value& value, EntryType type);

// A self-contained Environment over std::any values: for tests, tools and applications without
// a tree. Entries made by scripts take the type of their first value; entries set by the
// application take the type of the value set.
// Not thread-safe: one thread uses it at a time.
class MemoryEnvironment final : public Environment {
 public:
  // A top-level environment: `@name` and `name` are the same entry.
  MemoryEnvironment() = default;
  // An environment whose `@name` entries are root's entries (as a subtree sees the root
  // blackboard). `root` must outlive this environment.
  explicit MemoryEnvironment(MemoryEnvironment& root) noexcept : root_(&root) {}

  void set_enums(const EnumRegistry* enums) noexcept { enums_ = enums; }

  // Creates or replaces a local entry; its type becomes the value's (entry_type_of).
  void set(std::string_view name, std::any value);
  // Creates a local entry with a type and no value (like an entry a typed port declared).
  void declare(std::string_view name, EntryType type);
  // The local entry's value (an empty std::any when it has none); nullptr when it does not exist.
  const std::any* get(std::string_view name) const;
  // The local entry's value as scripts read it; std::nullopt when it does not exist, holds
  // nothing or holds a type scripts cannot use.
  std::optional<Value> value(std::string_view name) const;
  // The local entry's type; std::nullopt when it does not exist.
  std::optional<EntryType> type_of(std::string_view name) const;
  std::size_t size() const noexcept { return entries_.size(); }

  EntryState find(std::string_view name, Scope scope) const override;
  EntryState read(std::string_view name, Scope scope, Value& out) const override;
  void create(std::string_view name, Scope scope, EntryType type) override;
  bool write(std::string_view name, Scope scope, const Value& value) override;
  std::string describe(std::string_view name, Scope scope) const override;
  const EnumRegistry* enums() const noexcept override { return enums_; }

 private:
  struct Entry {
    std::any value;
    EntryType type = EntryType::none;
  };
  const MemoryEnvironment& in(Scope scope) const noexcept {
    return scope == Scope::root && root_ != nullptr ? *root_ : *this;
  }
  MemoryEnvironment& in(Scope scope) noexcept {
    return scope == Scope::root && root_ != nullptr ? *root_ : *this;
  }
  const Entry* entry(std::string_view name) const;

  std::unordered_map<std::string, Entry, detail::NameHash, std::equal_to<>> entries_;
  MemoryEnvironment* root_ = nullptr;
  const EnumRegistry* enums_ = nullptr;
};

namespace detail {
struct Program;
}

// A parsed script. Copies share the parsed form, which never changes.
// Thread-safe: several threads may evaluate one Script at once, each on its own Environment.
class Script {
 public:
  // Parses `code`: statements separated by `;` or new lines. Throws ScriptParseError naming the
  // position; an empty script (no statement at all) is an error too.
  static Script parse(std::string_view code);

  // Runs every statement in order against `env` and returns the last statement's value (an
  // assignment's value is the value stored). Throws ScriptError; statements before the failing
  // one have taken effect.
  Value evaluate(Environment& env) const;
  // Evaluates the script as a condition: its value must be the number 0 or 1 (anything else,
  // strings included, throws ScriptError "Implicit casting to bool is not allowed: ...").
  bool evaluate_condition(Environment& env) const;

  // The script's text as parsed.
  const std::string& code() const noexcept;

 private:
  explicit Script(std::shared_ptr<const detail::Program> program) noexcept
      : program_(std::move(program)) {}
  std::shared_ptr<const detail::Program> program_;
};

}  // namespace kelmora::core::scripting
