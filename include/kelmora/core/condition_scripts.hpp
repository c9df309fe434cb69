#pragma once
// The condition attributes any node element may carry: `_failureIf`, `_successIf`, `_skipIf` and
// `_while` decide whether the node runs at all; `_onSuccess`, `_onFailure`, `_onHalted` and
// `_post` run after it. The tree builder parses them once into a ConditionScripts that the node
// keeps (NodeConfig::scripts); TreeNode::executeTick and the halt run them (docs/scripting.md,
// "Scripts on nodes", gives the order and timing).
//
// Immutable once built: shared by nothing but its node. Not thread-safe beyond that.

#include <array>
#include <cstddef>
#include <kelmora/core/scripting.hpp>
#include <optional>
#include <string_view>

namespace kelmora::core {

// The eight attributes, in the order they are checked (the four conditions) and run.
enum class ConditionAttribute : std::size_t {
  failure_if,  // _failureIf: true at start gives FAILURE without ticking
  success_if,  // _successIf: true at start gives SUCCESS without ticking
  skip_if,     // _skipIf: true at start gives SKIPPED without ticking
  while_true,  // _while: false at start gives SKIPPED; false while RUNNING halts, then SKIPPED
  on_success,  // _onSuccess: after SUCCESS, before _post
  on_failure,  // _onFailure: after FAILURE, before _post
  on_halted,   // _onHalted: when halted while RUNNING
  post,        // _post: after SUCCESS or FAILURE
};

inline constexpr std::size_t kConditionAttributeCount = 8;

// The attribute's XML name ("_failureIf", ..., "_post"). Thread-safe.
std::string_view attribute_name(ConditionAttribute attribute) noexcept;
// The attribute an XML name stands for, exactly as written; std::nullopt for any other name.
// Thread-safe.
std::optional<ConditionAttribute> condition_attribute(std::string_view name) noexcept;

struct ConditionScripts {
  std::array<std::optional<scripting::Script>, kConditionAttributeCount> scripts;

  const std::optional<scripting::Script>& operator[](ConditionAttribute a) const noexcept {
    return scripts[static_cast<std::size_t>(a)];
  }
  std::optional<scripting::Script>& operator[](ConditionAttribute a) noexcept {
    return scripts[static_cast<std::size_t>(a)];
  }
  // Whether any of the four start conditions is set.
  bool has_start_conditions() const noexcept {
    return scripts[0] || scripts[1] || scripts[2] || scripts[3];
  }
  bool empty() const noexcept {
    for (const auto& s : scripts) {
      if (s) return false;
    }
    return true;
  }
};

}  // namespace kelmora::core
