// The 16-wide kernel family for the Avx512 level. Each block of 16 values
// goes into two 256-bit registers: lanes 0-3 and 4-7 of the first are
// accumulators 0 and 1, of the second accumulators 2 and 3, so the results
// equal the 4-lane form bit for bit. Two independent 256-bit chains beat one
// 512-bit chain here: the order fixes one dependent add per block, and
// 256-bit adds have the shorter latency on current cores. Compiled for
// AVX-512F per function (which includes AVX2); called only when the
// processor and the OS support it.
#include <immintrin.h>

#include "src/runtime/distance_kernels.h"
#include "src/runtime/kernel_terms.h"

#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#endif

#define ZV_AVX512 __attribute__((target("avx512f")))

namespace zv::hardware::avx512 {

namespace {

using detail::load1;

struct L2 {
  ZV_AVX512 static __m256 vec(__m256 a, __m256 b) {
    __m256 d = _mm256_sub_ps(a, b);
    return _mm256_mul_ps(d, d);
  }
  static float one(float a, float b) { return detail::l2_term(a, b); }
};
struct Dot {
  ZV_AVX512 static __m256 vec(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
  static float one(float a, float b) { return detail::dot_term(a, b); }
};

// (r0 + r1) + (r2 + r3), each r_k the ordered sum of one 4-lane accumulator.
ZV_AVX512 float reduce(__m256 low, __m256 high) {
  float l[16];
  _mm256_storeu_ps(l, low);
  _mm256_storeu_ps(l + 8, high);
  return (detail::lane_sum(l) + detail::lane_sum(l + 4)) + (detail::lane_sum(l + 8) + detail::lane_sum(l + 12));
}

template <class T>
ZV_AVX512 float sum(const float* a, size_t na, const float* b, size_t nb) {
  if (na != nb || na == 0) return 0.0f;
  __m256 low = _mm256_setzero_ps(), high = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 16 <= na; i += 16) {
    low = _mm256_add_ps(low, T::vec(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    high = _mm256_add_ps(high, T::vec(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8)));
  }
  float total = reduce(low, high);
  for (; i < na; ++i) total += T::one(load1(a + i), load1(b + i));
  return total;
}

}  // namespace

ZV_AVX512 float l2_squared_f32_x16(const float* a, size_t na, const float* b, size_t nb) {
  return sum<L2>(a, na, b, nb);
}

ZV_AVX512 float dot_f32_x16(const float* a, size_t na, const float* b, size_t nb) { return sum<Dot>(a, na, b, nb); }

ZV_AVX512 std::pair<float, float> dot_norm_f32_x16(const float* a, size_t na, const float* b, size_t nb) {
  if (na != nb || na == 0) return {0.0f, 0.0f};
  __m256 dot_low = _mm256_setzero_ps(), dot_high = _mm256_setzero_ps();
  __m256 norm_low = _mm256_setzero_ps(), norm_high = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 16 <= na; i += 16) {
    __m256 a0 = _mm256_loadu_ps(a + i), b0 = _mm256_loadu_ps(b + i);
    __m256 a1 = _mm256_loadu_ps(a + i + 8), b1 = _mm256_loadu_ps(b + i + 8);
    dot_low = _mm256_add_ps(dot_low, _mm256_mul_ps(a0, b0));
    dot_high = _mm256_add_ps(dot_high, _mm256_mul_ps(a1, b1));
    norm_low = _mm256_add_ps(norm_low, _mm256_mul_ps(b0, b0));
    norm_high = _mm256_add_ps(norm_high, _mm256_mul_ps(b1, b1));
  }
  float d = reduce(dot_low, dot_high), s = reduce(norm_low, norm_high);
  for (; i < na; ++i) {
    float x = load1(a + i), y = load1(b + i);
    d += detail::dot_term(x, y);
    s += detail::norm_term(x, y);
  }
  return {d, s};
}

}  // namespace zv::hardware::avx512
