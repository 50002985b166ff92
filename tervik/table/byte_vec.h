// Small byte-string helpers of the table format. Pure functions.
#pragma once

#include <cstdint>
#include <string>

namespace tervik {

// A new one-byte vector holding `byte` (one-byte meta property values).
inline std::string byte_vec_from_u8(uint8_t byte) { return std::string(1, static_cast<char>(byte)); }

}  // namespace tervik
