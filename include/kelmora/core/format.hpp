#pragma once
// Opt-in {fmt} support for kelmora's types: include this header to format a NodeStatus with
// fmt::format("{}", status) or a spdlog call. The other public headers do not pull in {fmt}.

#include <fmt/format.h>

#include <kelmora/core/node_status.hpp>
#include <string_view>

template <>
struct fmt::formatter<kelmora::core::NodeStatus> : fmt::formatter<std::string_view> {
  template <typename FormatContext>
  auto format(kelmora::core::NodeStatus status, FormatContext& ctx) const {
    return fmt::formatter<std::string_view>::format(kelmora::core::to_string(status), ctx);
  }
};
