#pragma once
// Attributes beginning with '_': the format's own (`_autoremap` and the eight condition
// attributes), editor metadata (everything else), and the typos between them. Internal.

#include <string_view>

namespace kelmora::core::details {

struct UnderscoreAttribute {
  enum class Kind {
    condition,  // one of the eight condition attributes, exactly as written
    autoremap,  // `_autoremap`
    metadata,   // anything else: editor metadata, accepted and ignored
    typo,       // close to a known attribute: differs in letter case only or by an edit distance
                // of at most 2 (1 for the short `_while` and `_post`), and is not a well-known
                // metadata name
  };
  Kind kind = Kind::metadata;
  std::string_view resembles;  // for `typo`: the known attribute it resembles
};

// Classifies an attribute name that begins with '_'. Thread-safe.
UnderscoreAttribute classify_underscore_attribute(std::string_view name) noexcept;

}  // namespace kelmora::core::details
