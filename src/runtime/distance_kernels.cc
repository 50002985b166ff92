#include "src/runtime/distance_kernels.h"

namespace zv {

DistanceKernels DistanceKernels::for_level(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512:
      return {hardware::avx512::l2_squared_f32_x16, hardware::avx512::dot_f32_x16,
              hardware::avx512::dot_norm_f32_x16};
    case SimdLevel::kAvx2:
      return {hardware::avx2::l2_squared_f32_x8, hardware::avx2::dot_f32_x8, hardware::avx2::dot_norm_f32_x8};
    case SimdLevel::kScalar:
      break;
  }
  return {hardware::l2_squared_f32_x8, hardware::dot_f32_x8, hardware::dot_norm_f32_x8};
}

DistanceKernels DistanceKernels::select() { return for_level(HardwareCapabilities::init_global().simd_level); }

const DistanceKernels& DistanceKernels::init_global() {
  static const DistanceKernels kernels = select();
  return kernels;
}

}  // namespace zv
