// Calls into the process-wide distance-kernel table for f32 views, so that
// scoring and the index reach the kernels in one place. Pure functions; safe
// on any number of threads.
#pragma once

#include <utility>

#include "src/runtime/distance_kernels.h"
#include "src/runtime/hardware.h"
#include "src/vector/f32_view.h"

namespace zv::kern {

inline const DistanceKernels& table() {
  static const DistanceKernels& k = DistanceKernels::init_global();
  return k;
}

// Sum of (a[i] - b[i])^2; 0 when the lengths differ or are 0.
inline float l2_squared(F32View a, F32View b) {
  return table().l2_squared(a.data(), a.size(), b.data(), b.size());
}
// Sum of a[i] * b[i]; 0 when the lengths differ or are 0.
inline float dot(F32View a, F32View b) {
  return table().dot(a.data(), a.size(), b.data(), b.size());
}
// (sum of a[i] * b[i], sum of b[i]^2); (0, 0) when the lengths differ or are 0.
inline std::pair<float, float> dot_norm(F32View a, F32View b) {
  return table().dot_norm(a.data(), a.size(), b.data(), b.size());
}
// l2_squared (dot) of a against four rows of its length, out[r] for rows[r];
// the same bits as four single calls.
inline void l2_squared_rows4(F32View a, const float* const* rows, float* out) {
  table().l2_squared_rows4(a.data(), rows, a.size(), out);
}
inline void dot_rows4(F32View a, const float* const* rows, float* out) {
  table().dot_rows4(a.data(), rows, a.size(), out);
}
// The same against four rows of codes, row r being w[i] * float(codes[r][i]).
inline void l2_squared_codes4(F32View a, const float* w, const uint8_t* const* codes, float* out) {
  table().l2_squared_codes4(a.data(), w, codes, a.size(), out);
}
inline void dot_codes4(F32View a, const float* w, const uint8_t* const* codes, float* out) {
  table().dot_codes4(a.data(), w, codes, a.size(), out);
}
// True when the machine has no usable vector instructions.
inline bool simd_is_scalar() {
  return HardwareCapabilities::init_global().simd_level == SimdLevel::kScalar;
}

}  // namespace zv::kern
