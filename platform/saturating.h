// Saturating unsigned 64-bit arithmetic for counts that requests and tokens
// can drive toward 2^64 (page offsets, candidate counts). Pure functions.
#pragma once

#include <cstdint>
#include <limits>

namespace zv {

inline constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

inline constexpr uint64_t sat_add_u64(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? kU64Max : r;
}
inline constexpr uint64_t sat_mul_u64(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kU64Max : r;
}
inline constexpr uint64_t sat_sub_u64(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

inline constexpr uint32_t sat_add_u32(uint32_t a, uint32_t b) {
  uint32_t r;
  return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<uint32_t>::max() : r;
}

}  // namespace zv
