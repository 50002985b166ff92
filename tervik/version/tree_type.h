// The kind of a tree as its versions record it: a standard tree, or a blob
// tree that keeps large values in blob files. Stored as one byte in every
// version file. Plain value.
#pragma once

#include <cstdint>
#include <string_view>

namespace tervik {

enum class TreeType : uint8_t {
  kStandard = 0,
  kBlob = 1,
};

// Named by InvalidHeader when a stored tree type byte is 2 or more.
inline constexpr std::string_view kTreeTypeName = "TreeType";

}  // namespace tervik
