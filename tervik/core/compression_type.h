// How a stored block or blob value is compressed. Its byte is stored in block
// headers and table metadata; parsing a stored byte lives in tag_parse.h.
// Plain value.
#pragma once

#include <cstdint>
#include <string_view>

namespace tervik {

enum class CompressionType : uint8_t {
  kNone = 0,
  kLz4 = 1,
};

inline constexpr std::string_view kCompressionTypeTagName = "CompressionType";

// "None" or "Lz4".
inline std::string_view compression_type_name(CompressionType t) {
  return t == CompressionType::kLz4 ? "Lz4" : "None";
}

}  // namespace tervik
