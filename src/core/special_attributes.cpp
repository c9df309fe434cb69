#include "special_attributes.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <kelmora/core/condition_scripts.hpp>

namespace kelmora::core::details {
namespace {

constexpr std::array<std::string_view, 9> kKnown = {"_failureIf", "_successIf", "_skipIf",
                                                    "_while",     "_onSuccess", "_onFailure",
                                                    "_onHalted",  "_post",      "_autoremap"};

// Names editors and tools write that happen to lie close to a known attribute; they are metadata.
constexpr std::array<std::string_view, 7> kMetadata = {
    "_collapsed", "_description", "_uid", "_fullpath", "_fullPath", "_pos", "_port"};

constexpr std::size_t kLongest = 32;  // longer names are never near a known one

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The edit distance between a and b ignoring letter case (insertions, deletions, substitutions
// and swaps of neighbours count 1); both at most kLongest long.
std::size_t distance(std::string_view a, std::string_view b) noexcept {
  std::array<std::array<std::size_t, kLongest + 1>, kLongest + 1> d{};
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

UnderscoreAttribute classify_underscore_attribute(std::string_view name) noexcept {
  if (condition_attribute(name)) return {UnderscoreAttribute::Kind::condition, {}};
  if (name == "_autoremap") return {UnderscoreAttribute::Kind::autoremap, {}};
  if (name.size() > kLongest ||
      std::find(kMetadata.begin(), kMetadata.end(), name) != kMetadata.end()) {
    return {};
  }
  for (std::string_view known : kKnown) {
    // Short names allow one edit only, so that unrelated short metadata names stay metadata.
    const std::size_t allowed = known.size() <= 6 ? 1 : 2;
    if (distance(name, known) <= allowed) return {UnderscoreAttribute::Kind::typo, known};
  }
  return {};
}

}  // namespace kelmora::core::details
