// Compiled with floating-point contraction off, like the kernels: the
// reference below must round every product and sum on its own.
#include "src/runtime/distance_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace zv {
namespace {

// The promised order, written out lane by lane: K = width / 4 accumulators
// of four lanes, block by block; lanes summed ((0 + 1) + 2) + 3; accumulators
// r0 + r1 (8-wide) or (r0 + r1) + (r2 + r3) (16-wide); then the tail in order.
template <class Term>
float reference(int width, const std::vector<float>& a, const std::vector<float>& b, Term term) {
  if (a.size() != b.size() || a.empty()) return 0.0f;
  const int k_count = width / 4;
  float acc[4][4] = {};
  const size_t n = a.size(), full = n / width * width;
  for (size_t base = 0; base < full; base += width)
    for (int k = 0; k < k_count; ++k)
      for (int j = 0; j < 4; ++j) {
        size_t i = base + 4 * k + j;
        acc[k][j] = acc[k][j] + term(a[i], b[i]);
      }
  float r[4];
  for (int k = 0; k < 4; ++k) r[k] = ((acc[k][0] + acc[k][1]) + acc[k][2]) + acc[k][3];
  float total = width == 8 ? r[0] + r[1] : (r[0] + r[1]) + (r[2] + r[3]);
  for (size_t i = full; i < n; ++i) total = total + term(a[i], b[i]);
  return total;
}

float l2_term(float x, float y) {
  float d = x - y;
  return d * d;
}
float dot_term(float x, float y) { return x * y; }
float norm_term(float, float y) { return y * y; }

// Values of mixed sign and magnitude, so that every change of summation
// order or rounding shows in the last bits.
std::vector<float> values(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-4, 4);
  std::vector<float> v(n);
  for (float& x : v) {
    float m = mantissa(rng);
    x = std::ldexp(m, exponent(rng));
  }
  return v;
}

struct Impl {
  const char* name;
  int width;
  SimdLevel needs;  // the level the machine must reach
  DistanceKernels kernels;
};

bool machine_has(SimdLevel level) {
  // Levels are ordered best first.
  return static_cast<int>(HardwareCapabilities::init_global().simd_level) <= static_cast<int>(level);
}

std::vector<Impl> implementations() {
  using namespace hardware;
  SimdLevel machine = HardwareCapabilities::init_global().simd_level;
  std::vector<Impl> impls = {
      {"4-lane x8", 8, SimdLevel::kScalar, {l2_squared_f32_x8, dot_f32_x8, dot_norm_f32_x8}},
      {"4-lane x16", 16, SimdLevel::kScalar, {l2_squared_f32_x16, dot_f32_x16, dot_norm_f32_x16}},
      {"avx2 x8", 8, SimdLevel::kAvx2, {avx2::l2_squared_f32_x8, avx2::dot_f32_x8, avx2::dot_norm_f32_x8}},
      {"avx512 x16", 16, SimdLevel::kAvx512,
       {avx512::l2_squared_f32_x16, avx512::dot_f32_x16, avx512::dot_norm_f32_x16}},
      {"table Scalar", 8, SimdLevel::kScalar, {}},
      {"table Avx2", 8, SimdLevel::kAvx2, {}},
      {"table Avx512", 16, SimdLevel::kAvx512, {}},
      {"global table", machine == SimdLevel::kAvx512 ? 16 : 8, machine, DistanceKernels::init_global()},
  };
  for (Impl& impl : impls)
    if (std::string(impl.name).rfind("table ", 0) == 0 && machine_has(impl.needs))
      impl.kernels = DistanceKernels::for_level(impl.needs);
  return impls;
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// A copy of the values at a byte offset from an aligned start, as a mapped
// file may hold them.
struct Placed {
  Placed(const std::vector<float>& v, size_t offset) : bytes(v.size() * 4 + 64) {
    if (!v.empty()) std::memcpy(bytes.data() + offset, v.data(), v.size() * 4);
    ptr = reinterpret_cast<const float*>(bytes.data() + offset);
  }
  std::vector<unsigned char> bytes;
  const float* ptr;
};

TEST(DistanceKernelsTest, EveryFamilyFollowsItsSummationOrderBitForBit) {
  std::mt19937 rng(20261211);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 33; ++n) lengths.push_back(n);
  lengths.push_back(1000);

  for (const Impl& impl : implementations()) {
    if (!machine_has(impl.needs)) {
      std::printf("skipping %s: the processor lacks %s\n", impl.name, simd_level_name(impl.needs));
      continue;
    }
    for (size_t n : lengths) {
      std::vector<float> a = values(n, rng), b = values(n, rng);
      for (size_t offset : {0, 4, 1}) {
        Placed pa(a, offset), pb(b, (offset * 3) % 8);
        SCOPED_TRACE(std::string(impl.name) + " n=" + std::to_string(n) + " offset=" + std::to_string(offset));
        EXPECT_EQ(bits(impl.kernels.l2_squared(pa.ptr, n, pb.ptr, n)), bits(reference(impl.width, a, b, l2_term)));
        EXPECT_EQ(bits(impl.kernels.dot(pa.ptr, n, pb.ptr, n)), bits(reference(impl.width, a, b, dot_term)));
        auto [d, s] = impl.kernels.dot_norm(pa.ptr, n, pb.ptr, n);
        EXPECT_EQ(bits(d), bits(reference(impl.width, a, b, dot_term)));
        EXPECT_EQ(bits(s), bits(reference(impl.width, a, b, norm_term)));
        // The same slice twice gives its own squared norm.
        EXPECT_EQ(bits(impl.kernels.dot_norm(pa.ptr, n, pa.ptr, n).second),
                  bits(reference(impl.width, a, a, norm_term)));
      }
    }
  }
}

// The four-row forms of each table against its own single-row kernels: the
// same bits for every row, at every length, rows unaligned and of different
// offsets, codes across the whole byte range.
TEST(DistanceKernelsTest, FourRowFormsEqualTheSingleRowKernels) {
  std::mt19937 rng(7);
  for (SimdLevel level : {SimdLevel::kScalar, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!machine_has(level)) continue;
    const DistanceKernels k = DistanceKernels::for_level(level);
    for (size_t n : {1, 3, 7, 8, 9, 15, 16, 17, 31, 33, 128, 1000}) {
      SCOPED_TRACE(std::string(simd_level_name(level)) + " n=" + std::to_string(n));
      const std::vector<float> a = values(n, rng), w = values(n, rng);
      std::vector<std::vector<float>> rows;
      std::vector<Placed> placed;
      std::vector<std::vector<uint8_t>> codes(4, std::vector<uint8_t>(n + 3));
      for (size_t r = 0; r < 4; ++r) rows.push_back(values(n, rng));
      for (size_t r = 0; r < 4; ++r) placed.emplace_back(rows[r], r);
      for (auto& c : codes)
        for (uint8_t& x : c) x = static_cast<uint8_t>(rng());
      codes[0].assign(n + 3, 255);
      const float* row_ptrs[4] = {placed[0].ptr, placed[1].ptr, placed[2].ptr, placed[3].ptr};
      const uint8_t* code_ptrs[4] = {codes[0].data(), codes[1].data() + 1, codes[2].data() + 2,
                                     codes[3].data() + 3};
      float l2[4], dot[4], l2c[4], dotc[4];
      k.l2_squared_rows4(a.data(), row_ptrs, n, l2);
      k.dot_rows4(a.data(), row_ptrs, n, dot);
      k.l2_squared_codes4(a.data(), w.data(), code_ptrs, n, l2c);
      k.dot_codes4(a.data(), w.data(), code_ptrs, n, dotc);
      for (size_t r = 0; r < 4; ++r) {
        std::vector<float> scaled(n);
        for (size_t i = 0; i < n; ++i) scaled[i] = w[i] * static_cast<float>(code_ptrs[r][i]);
        EXPECT_EQ(bits(l2[r]), bits(k.l2_squared(a.data(), n, rows[r].data(), n)));
        EXPECT_EQ(bits(dot[r]), bits(k.dot(a.data(), n, rows[r].data(), n)));
        EXPECT_EQ(bits(l2c[r]), bits(k.l2_squared(a.data(), n, scaled.data(), n)));
        EXPECT_EQ(bits(dotc[r]), bits(k.dot(a.data(), n, scaled.data(), n)));
      }
    }
  }
}

TEST(DistanceKernelsTest, MismatchedOrEmptyInputsGiveZero) {
  std::vector<float> a = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  struct Case {
    size_t na, nb;
  } cases[] = {{3, 4}, {0, 0}, {17, 16}, {0, 5}, {16, 0}};
  for (const Impl& impl : implementations()) {
    if (!machine_has(impl.needs)) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(impl.name) + " " + std::to_string(c.na) + "/" + std::to_string(c.nb));
      EXPECT_EQ(bits(impl.kernels.l2_squared(a.data(), c.na, a.data(), c.nb)), bits(0.0f));
      EXPECT_EQ(bits(impl.kernels.dot(a.data(), c.na, a.data(), c.nb)), bits(0.0f));
      auto [d, s] = impl.kernels.dot_norm(a.data(), c.na, a.data(), c.nb);
      EXPECT_EQ(bits(d), bits(0.0f));
      EXPECT_EQ(bits(s), bits(0.0f));
    }
  }
}

// The data must tell the orders apart, or the comparison above could not
// fail: the two families, a plain sequential sum and a fused multiply-add in
// the 8-wide order must all give different bits on most inputs.
TEST(DistanceKernelsTest, ReferenceDataSeparatesTheOrders) {
  std::mt19937 rng(7);
  int family_differs = 0, sequential_differs = 0, fused_differs = 0, cases = 0;
  for (size_t n = 40; n <= 1000; n += 40, ++cases) {
    std::vector<float> a = values(n, rng), b = values(n, rng);
    float x8 = reference(8, a, b, dot_term);
    family_differs += bits(x8) != bits(reference(16, a, b, dot_term));
    float sequential = 0.0f;
    for (size_t i = 0; i < n; ++i) sequential = sequential + a[i] * b[i];
    sequential_differs += bits(x8) != bits(sequential);
    float lanes[8] = {};
    for (size_t i = 0; i < n; ++i) lanes[i % 8] = std::fma(a[i], b[i], lanes[i % 8]);
    float fused = (((lanes[0] + lanes[1]) + lanes[2]) + lanes[3]) + (((lanes[4] + lanes[5]) + lanes[6]) + lanes[7]);
    fused_differs += bits(x8) != bits(fused);
  }
  EXPECT_GT(family_differs, cases / 2);
  EXPECT_GT(sequential_differs, cases / 2);
  EXPECT_GT(fused_differs, cases / 2);
}

}  // namespace
}  // namespace zv
