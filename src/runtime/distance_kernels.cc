#include "src/runtime/distance_kernels.h"

#include <vector>

namespace zv {
namespace {

// The four-row forms for a table without its own: the single-row kernel four
// times, which is its result by definition.
template <DotKernel K>
void rows4_by_row(const float* a, const float* const* rows, size_t n, float* out) {
  for (size_t r = 0; r < 4; ++r) out[r] = K(a, n, rows[r], n);
}

template <DotKernel K>
void codes4_by_row(const float* a, const float* w, const uint8_t* const* codes, size_t n, float* out) {
  thread_local std::vector<float> row;
  row.resize(n);
  for (size_t r = 0; r < 4; ++r) {
    for (size_t i = 0; i < n; ++i) row[i] = w[i] * static_cast<float>(codes[r][i]);
    out[r] = K(a, n, row.data(), n);
  }
}

template <L2SquaredKernel L2, DotKernel Dot, DotNormKernel DotNorm>
DistanceKernels by_row() {
  return {L2, Dot, DotNorm, rows4_by_row<L2>, rows4_by_row<Dot>, codes4_by_row<L2>, codes4_by_row<Dot>};
}

}  // namespace

DistanceKernels DistanceKernels::for_level(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512:
      return by_row<hardware::avx512::l2_squared_f32_x16, hardware::avx512::dot_f32_x16,
                    hardware::avx512::dot_norm_f32_x16>();
    case SimdLevel::kAvx2:
      return {hardware::avx2::l2_squared_f32_x8,      hardware::avx2::dot_f32_x8,
              hardware::avx2::dot_norm_f32_x8,        hardware::avx2::l2_squared_f32_x8_rows4,
              hardware::avx2::dot_f32_x8_rows4,       hardware::avx2::l2_squared_f32_x8_codes4,
              hardware::avx2::dot_f32_x8_codes4};
    case SimdLevel::kScalar:
      break;
  }
  return by_row<hardware::l2_squared_f32_x8, hardware::dot_f32_x8, hardware::dot_norm_f32_x8>();
}

DistanceKernels DistanceKernels::select() { return for_level(HardwareCapabilities::init_global().simd_level); }

const DistanceKernels& DistanceKernels::init_global() {
  static const DistanceKernels kernels = select();
  return kernels;
}

}  // namespace zv
