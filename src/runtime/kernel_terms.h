// Pieces shared by the kernel files: unaligned scalar loads and the scalar
// form of each term, used by every family for the tail. Internal to the
// runtime's kernel files, which compile with floating-point contraction off.
#pragma once

#include <cstring>

namespace zv::hardware::detail {

inline float load1(const float* p) {
  float v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

// (a - b)^2: the difference first, then its square, as two roundings.
inline float l2_term(float a, float b) {
  float d = a - b;
  return d * d;
}
inline float dot_term(float a, float b) { return a * b; }
inline float norm_term(float, float b) { return b * b; }

// Sum of the four lanes in the fixed order ((l0 + l1) + l2) + l3.
inline float lane_sum(const float l[4]) { return ((l[0] + l[1]) + l[2]) + l[3]; }

}  // namespace zv::hardware::detail
