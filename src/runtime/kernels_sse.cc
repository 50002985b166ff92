// Both kernel families in 4-lane SSE arithmetic: the 8-wide family is the
// table of the Scalar level, and the 16-wide family here is the portable
// reference of the Avx512 table. One SSE register is one accumulator, so the
// code follows the summation order literally.
#include <xmmintrin.h>

#include "src/runtime/distance_kernels.h"
#include "src/runtime/kernel_terms.h"

#ifdef __clang__
#pragma STDC FP_CONTRACT OFF
#endif

namespace zv::hardware {

namespace {

using detail::load1;

struct L2 {
  static __m128 vec(__m128 a, __m128 b) {
    __m128 d = _mm_sub_ps(a, b);
    return _mm_mul_ps(d, d);
  }
  static float one(float a, float b) { return detail::l2_term(a, b); }
};
struct Dot {
  static __m128 vec(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
  static float one(float a, float b) { return detail::dot_term(a, b); }
};

float lanes(__m128 v) {
  float l[4];
  _mm_storeu_ps(l, v);
  return detail::lane_sum(l);
}

// Four-lane accumulators in named registers (an array would make some
// compilers keep them in memory): K = 2 uses acc0 and acc1 over blocks of 8,
// K = 4 all four over blocks of 16.
struct Accumulators {
  __m128 acc0 = _mm_setzero_ps(), acc1 = _mm_setzero_ps(), acc2 = _mm_setzero_ps(), acc3 = _mm_setzero_ps();

  template <int K, class T>
  size_t run(const float* a, const float* b, size_t n) {
    size_t i = 0;
    for (; i + 4 * K <= n; i += 4 * K) {
      acc0 = _mm_add_ps(acc0, T::vec(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
      acc1 = _mm_add_ps(acc1, T::vec(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
      if constexpr (K == 4) {
        acc2 = _mm_add_ps(acc2, T::vec(_mm_loadu_ps(a + i + 8), _mm_loadu_ps(b + i + 8)));
        acc3 = _mm_add_ps(acc3, T::vec(_mm_loadu_ps(a + i + 12), _mm_loadu_ps(b + i + 12)));
      }
    }
    return i;
  }

  // r0 + r1, or (r0 + r1) + (r2 + r3).
  template <int K>
  float total() const {
    if constexpr (K == 2) return lanes(acc0) + lanes(acc1);
    return (lanes(acc0) + lanes(acc1)) + (lanes(acc2) + lanes(acc3));
  }
};

struct Norm {
  static __m128 vec(__m128, __m128 b) { return _mm_mul_ps(b, b); }
};

template <int K, class T>
float sum(const float* a, size_t na, const float* b, size_t nb) {
  if (na != nb || na == 0) return 0.0f;
  Accumulators acc;
  size_t i = acc.run<K, T>(a, b, na);
  float total = acc.total<K>();
  for (; i < na; ++i) total += T::one(load1(a + i), load1(b + i));
  return total;
}

template <int K>
std::pair<float, float> sum_dot_norm(const float* a, size_t na, const float* b, size_t nb) {
  if (na != nb || na == 0) return {0.0f, 0.0f};
  Accumulators dot, norm;
  size_t i = 0;
  // One pass over both inputs: each block feeds the dot and the norm sets.
  for (; i + 4 * K <= na; i += 4 * K) {
    dot.run<K, Dot>(a + i, b + i, 4 * K);
    norm.run<K, Norm>(a + i, b + i, 4 * K);
  }
  float d = dot.total<K>(), s = norm.total<K>();
  for (; i < na; ++i) {
    float x = load1(a + i), y = load1(b + i);
    d += detail::dot_term(x, y);
    s += detail::norm_term(x, y);
  }
  return {d, s};
}

}  // namespace

float l2_squared_f32_x8(const float* a, size_t na, const float* b, size_t nb) { return sum<2, L2>(a, na, b, nb); }
float dot_f32_x8(const float* a, size_t na, const float* b, size_t nb) { return sum<2, Dot>(a, na, b, nb); }
std::pair<float, float> dot_norm_f32_x8(const float* a, size_t na, const float* b, size_t nb) {
  return sum_dot_norm<2>(a, na, b, nb);
}
float l2_squared_f32_x16(const float* a, size_t na, const float* b, size_t nb) { return sum<4, L2>(a, na, b, nb); }
float dot_f32_x16(const float* a, size_t na, const float* b, size_t nb) { return sum<4, Dot>(a, na, b, nb); }
std::pair<float, float> dot_norm_f32_x16(const float* a, size_t na, const float* b, size_t nb) {
  return sum_dot_norm<4>(a, na, b, nb);
}

}  // namespace zv::hardware
