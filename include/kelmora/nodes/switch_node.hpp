#pragma once
// Switch2 ... Switch6: picks one child by matching the `variable` port against `case_1` ...
// `case_N`; N + 1 children, the last one being the default. docs/core.md describes a tick.
//
// Not thread-safe: a tree and its nodes belong to the one thread that builds and ticks it.

#include <cstddef>
#include <kelmora/nodes/control_node.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kelmora::core::scripting {
class EnumRegistry;
}  // namespace kelmora::core::scripting

namespace kelmora::nodes {

// Whether a Switch's variable (as text) matches one case (as text): equal texts match; otherwise
// both are read as numbers (a whole decimal integer or real, nothing before or after it: "2.0"
// matches "2", "2abc" matches nothing but "2abc"; "true" is no number) and match when equal. A
// name registered in `enums` (may be null) stands for its value on either side.
// Thread-safe (reads `enums` only).
bool switch_case_matches(std::string_view variable, std::string_view case_value,
                         const core::scripting::EnumRegistry* enums = nullptr);

// Each tick reads `variable` and ticks the child of the first matching case (child i for
// case_i), or the last child when no case matches, a case port is unbound or unreadable, or the
// variable cannot be read (unbound, an entry never written or holding no text or number). When
// the pick differs from the child that was RUNNING, that child is halted first. Returns the
// picked child's status (SKIPPED when it was skipped).
class SwitchNode : public ControlNode {
 public:
  // `cases` is N of SwitchN; the factory makes sure the node has N + 1 children.
  SwitchNode(core::NodeConfig config, std::size_t cases);

  // The case port names: "case_1" ... "case_6".
  static std::string case_port(std::size_t index) { return "case_" + std::to_string(index); }

 protected:
  core::NodeStatus onTick() override;
  void onHalt() override { running_ = kNone; }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  // The variable as text (numbers and booleans of an entry in their text form); std::nullopt
  // when it cannot be read.
  std::optional<std::string> variableText() const;
  // The child the current variable picks.
  std::size_t pick() const;

  std::size_t cases_;
  std::size_t running_ = kNone;  // the child that returned RUNNING last tick
};

}  // namespace kelmora::nodes
