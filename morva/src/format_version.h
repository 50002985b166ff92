// The format byte of a key-value engine database folder ("version" file):
// V1, V2 and V3, of which only V3 is opened. Plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace morva {

enum class FormatVersion : uint8_t { kV1 = 1, kV2 = 2, kV3 = 3 };

inline constexpr FormatVersion kCurrentFormatVersion = FormatVersion::kV3;

// "V1", "V2" or "V3".
inline std::string_view format_version_name(FormatVersion v) {
  switch (v) {
    case FormatVersion::kV1: return "V1";
    case FormatVersion::kV2: return "V2";
    case FormatVersion::kV3: return "V3";
  }
  return "V3";
}

// The version a format byte names, or none for any other byte.
inline std::optional<FormatVersion> parse_format_version(uint8_t byte) {
  if (byte >= 1 && byte <= 3) return static_cast<FormatVersion>(byte);
  return std::nullopt;
}

}  // namespace morva
