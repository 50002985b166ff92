// The 8-wide kernel family in 256-bit AVX2 registers: lanes 0-3 of the one
// register are the first 4-lane accumulator, lanes 4-7 the second, so the
// results equal the 4-lane form bit for bit. Compiled for AVX2 per function;
// called only when the processor has it.
#include <immintrin.h>

#include "src/runtime/distance_kernels.h"
#include "src/runtime/kernel_terms.h"

#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#endif

#define ZV_AVX2 __attribute__((target("avx2")))

namespace zv::hardware::avx2 {

namespace {

using detail::load1;

struct L2 {
  ZV_AVX2 static __m256 vec(__m256 a, __m256 b) {
    __m256 d = _mm256_sub_ps(a, b);
    return _mm256_mul_ps(d, d);
  }
  static float one(float a, float b) { return detail::l2_term(a, b); }
};
struct Dot {
  ZV_AVX2 static __m256 vec(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
  static float one(float a, float b) { return detail::dot_term(a, b); }
};

// r0 + r1, each the ordered sum of one 4-lane half.
ZV_AVX2 float reduce(__m256 acc) {
  float l[8];
  _mm256_storeu_ps(l, acc);
  return detail::lane_sum(l) + detail::lane_sum(l + 4);
}

template <class T>
ZV_AVX2 float sum(const float* a, size_t na, const float* b, size_t nb) {
  if (na != nb || na == 0) return 0.0f;
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= na; i += 8) acc = _mm256_add_ps(acc, T::vec(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  float total = reduce(acc);
  for (; i < na; ++i) total += T::one(load1(a + i), load1(b + i));
  return total;
}

// Row r of the codes kernels: w[i] * float(code), as the scalar form rounds it.
ZV_AVX2 inline __m256 scaled_codes(const float* w, const uint8_t* c) {
  const __m256i wide = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)));
  return _mm256_mul_ps(_mm256_loadu_ps(w), _mm256_cvtepi32_ps(wide));
}

// Rows given as f32 slices.
struct F32Rows {
  const float* const* rows;
  ZV_AVX2 __m256 block(size_t r, size_t i) const { return _mm256_loadu_ps(rows[r] + i); }
  float one(size_t r, size_t j) const { return load1(rows[r] + j); }
};

// Rows given as 8-bit codes scaled by w.
struct CodeRows {
  const float* w;
  const uint8_t* const* codes;
  ZV_AVX2 __m256 block(size_t r, size_t i) const { return scaled_codes(w + i, codes[r] + i); }
  float one(size_t r, size_t j) const { return load1(w + j) * static_cast<float>(codes[r][j]); }
};

// Four rows at once, each in the order of sum<T>: one 8-lane chain per row,
// reduced, then the tail term by term.
template <class T, class Rows>
ZV_AVX2 void sum4(const float* a, size_t n, const Rows& rows, float* out) {
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps(), acc2 = _mm256_setzero_ps(),
         acc3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 va = _mm256_loadu_ps(a + i);
    acc0 = _mm256_add_ps(acc0, T::vec(va, rows.block(0, i)));
    acc1 = _mm256_add_ps(acc1, T::vec(va, rows.block(1, i)));
    acc2 = _mm256_add_ps(acc2, T::vec(va, rows.block(2, i)));
    acc3 = _mm256_add_ps(acc3, T::vec(va, rows.block(3, i)));
  }
  out[0] = reduce(acc0);
  out[1] = reduce(acc1);
  out[2] = reduce(acc2);
  out[3] = reduce(acc3);
  for (size_t r = 0; r < 4; ++r)
    for (size_t j = i; j < n; ++j) out[r] += T::one(load1(a + j), rows.one(r, j));
}

}  // namespace

ZV_AVX2 void l2_squared_f32_x8_rows4(const float* a, const float* const* rows, size_t n, float* out) {
  sum4<L2>(a, n, F32Rows{rows}, out);
}
ZV_AVX2 void dot_f32_x8_rows4(const float* a, const float* const* rows, size_t n, float* out) {
  sum4<Dot>(a, n, F32Rows{rows}, out);
}
ZV_AVX2 void l2_squared_f32_x8_codes4(const float* a, const float* w, const uint8_t* const* codes, size_t n,
                                      float* out) {
  sum4<L2>(a, n, CodeRows{w, codes}, out);
}
ZV_AVX2 void dot_f32_x8_codes4(const float* a, const float* w, const uint8_t* const* codes, size_t n,
                               float* out) {
  sum4<Dot>(a, n, CodeRows{w, codes}, out);
}

ZV_AVX2 float l2_squared_f32_x8(const float* a, size_t na, const float* b, size_t nb) {
  return sum<L2>(a, na, b, nb);
}

ZV_AVX2 float dot_f32_x8(const float* a, size_t na, const float* b, size_t nb) { return sum<Dot>(a, na, b, nb); }

ZV_AVX2 std::pair<float, float> dot_norm_f32_x8(const float* a, size_t na, const float* b, size_t nb) {
  if (na != nb || na == 0) return {0.0f, 0.0f};
  __m256 dot = _mm256_setzero_ps(), norm = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= na; i += 8) {
    __m256 va = _mm256_loadu_ps(a + i), vb = _mm256_loadu_ps(b + i);
    dot = _mm256_add_ps(dot, _mm256_mul_ps(va, vb));
    norm = _mm256_add_ps(norm, _mm256_mul_ps(vb, vb));
  }
  float d = reduce(dot), s = reduce(norm);
  for (; i < na; ++i) {
    float x = load1(a + i), y = load1(b + i);
    d += detail::dot_term(x, y);
    s += detail::norm_term(x, y);
  }
  return {d, s};
}

}  // namespace zv::hardware::avx2
