// Small byte-string helpers of the table format, used by the table writer
// for its one-byte meta property values. Pure functions: thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace tervik {

// A new one-byte vector holding `byte` (one-byte meta property values).
inline std::string byte_vec_from_u8(uint8_t byte) { return std::string(1, static_cast<char>(byte)); }

}  // namespace tervik
