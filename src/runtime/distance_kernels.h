// The three f32 distance kernels every vector search and insert calls, in two
// families that fix the summation order: 8-wide (two 4-lane accumulators) and
// 16-wide (four). A process picks one table once from its SIMD level and never
// mixes the families. Kernels are pure, allocate nothing, load unaligned and
// may run on any number of threads; the table is read without locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "src/runtime/hardware.h"

namespace zv {

// Each kernel takes two slices as (pointer, length) pairs and returns 0 (or
// (0, 0)) when the lengths differ or are 0.
using L2SquaredKernel = float (*)(const float* a, size_t na, const float* b, size_t nb);
using DotKernel = float (*)(const float* a, size_t na, const float* b, size_t nb);
// (sum a[i] * b[i], sum b[i]^2): pass one slice twice for its squared norm.
using DotNormKernel = std::pair<float, float> (*)(const float* a, size_t na, const float* b, size_t nb);

// One slice a against four rows of its length n > 0 (rows[r]); out[r] equals
// the single-row kernel of the same table on (a, rows[r]) bit for bit. Four
// independent chains keep the adder busy where one row waits on its own sums.
using Rows4Kernel = void (*)(const float* a, const float* const* rows, size_t n, float* out);
// The same against four rows of 8-bit codes: row r is the f32 slice
// w[i] * float(codes[r][i]) (one rounding each), scored without writing it out.
using Codes4Kernel = void (*)(const float* a, const float* w, const uint8_t* const* codes,
                              size_t n, float* out);

struct DistanceKernels {
  L2SquaredKernel l2_squared;
  DotKernel dot;
  DotNormKernel dot_norm;
  Rows4Kernel l2_squared_rows4 = nullptr;
  Rows4Kernel dot_rows4 = nullptr;
  Codes4Kernel l2_squared_codes4 = nullptr;
  Codes4Kernel dot_codes4 = nullptr;

  // The table for a level: 16-wide for Avx512, 8-wide for Avx2 and Scalar,
  // each in the widest registers the level allows. The level must be usable
  // on this machine.
  static DistanceKernels for_level(SimdLevel level);
  // The table for the process-wide capabilities.
  static DistanceKernels select();
  // The process-wide table, selected on first call.
  static const DistanceKernels& init_global();
};

namespace hardware {

// The two families in 4-lane (SSE) arithmetic, usable on every x86-64.
float l2_squared_f32_x8(const float* a, size_t na, const float* b, size_t nb);
float dot_f32_x8(const float* a, size_t na, const float* b, size_t nb);
std::pair<float, float> dot_norm_f32_x8(const float* a, size_t na, const float* b, size_t nb);
float l2_squared_f32_x16(const float* a, size_t na, const float* b, size_t nb);
float dot_f32_x16(const float* a, size_t na, const float* b, size_t nb);
std::pair<float, float> dot_norm_f32_x16(const float* a, size_t na, const float* b, size_t nb);

// The same results in wider registers; call only when the level is usable.
namespace avx2 {
float l2_squared_f32_x8(const float* a, size_t na, const float* b, size_t nb);
float dot_f32_x8(const float* a, size_t na, const float* b, size_t nb);
std::pair<float, float> dot_norm_f32_x8(const float* a, size_t na, const float* b, size_t nb);
void l2_squared_f32_x8_rows4(const float* a, const float* const* rows, size_t n, float* out);
void dot_f32_x8_rows4(const float* a, const float* const* rows, size_t n, float* out);
void l2_squared_f32_x8_codes4(const float* a, const float* w, const uint8_t* const* codes, size_t n,
                              float* out);
void dot_f32_x8_codes4(const float* a, const float* w, const uint8_t* const* codes, size_t n,
                       float* out);
}  // namespace avx2

namespace avx512 {
float l2_squared_f32_x16(const float* a, size_t na, const float* b, size_t nb);
float dot_f32_x16(const float* a, size_t na, const float* b, size_t nb);
std::pair<float, float> dot_norm_f32_x16(const float* a, size_t na, const float* b, size_t nb);
}  // namespace avx512

}  // namespace hardware
}  // namespace zv
