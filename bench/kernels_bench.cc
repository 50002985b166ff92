// Distance kernels at common embedding sizes, for each SIMD level this
// machine has, against a plain sequential loop in index order (one running
// sum, no reassociation, not vectorised) as the baseline.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "src/runtime/distance_kernels.h"

namespace {

constexpr int kDims[] = {128, 384, 768, 1536};

// The baseline as a compiler builds it without reassociation: kept out of
// line and out of the vectoriser so that it stays one scalar chain.
#if defined(__clang__)
#define ZV_SCALAR_LOOP __attribute__((noinline))
#define ZV_NO_VECTORIZE _Pragma("clang loop vectorize(disable) interleave(disable)")
#else
#define ZV_SCALAR_LOOP __attribute__((noinline, optimize("no-tree-vectorize")))
#define ZV_NO_VECTORIZE
#endif

ZV_SCALAR_LOOP float sequential_l2(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  ZV_NO_VECTORIZE
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

ZV_SCALAR_LOOP float sequential_dot(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  ZV_NO_VECTORIZE
  for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

ZV_SCALAR_LOOP std::pair<float, float> sequential_dot_norm(const float* a, const float* b, size_t n) {
  float dot = 0.0f, norm = 0.0f;
  ZV_NO_VECTORIZE
  for (size_t i = 0; i < n; ++i) {
    dot += a[i] * b[i];
    norm += b[i] * b[i];
  }
  return {dot, norm};
}

struct Inputs {
  explicit Inputs(int d) : a(d), b(d) {
    std::mt19937 rng(static_cast<unsigned>(d));
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < d; ++i) {
      a[i] = u(rng);
      b[i] = u(rng);
    }
  }
  std::vector<float> a, b;
};

template <class Fn>
void run(benchmark::State& state, Fn fn) {
  Inputs in(static_cast<int>(state.range(0)));
  const size_t n = in.a.size();
  for (auto _ : state) {
    benchmark::DoNotOptimize(in.a.data());
    benchmark::DoNotOptimize(in.b.data());
    auto r = fn(in.a.data(), in.b.data(), n);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

void register_kernels(const std::string& label, const zv::DistanceKernels& k) {
  auto add = [&](const std::string& kernel, auto fn) {
    auto* b = benchmark::RegisterBenchmark((kernel + "/" + label).c_str(),
                                           [fn](benchmark::State& s) { run(s, fn); });
    for (int d : kDims) b->Arg(d);
  };
  add("l2_squared", [k](const float* a, const float* b, size_t n) { return k.l2_squared(a, n, b, n); });
  add("dot", [k](const float* a, const float* b, size_t n) { return k.dot(a, n, b, n); });
  add("dot_norm", [k](const float* a, const float* b, size_t n) { return k.dot_norm(a, n, b, n); });
}

}  // namespace

int main(int argc, char** argv) {
  auto add_baseline = [](const std::string& kernel, auto fn) {
    auto* b = benchmark::RegisterBenchmark((kernel + "/sequential_loop").c_str(),
                                           [fn](benchmark::State& s) { run(s, fn); });
    for (int d : kDims) b->Arg(d);
  };
  add_baseline("l2_squared", sequential_l2);
  add_baseline("dot", sequential_dot);
  add_baseline("dot_norm", sequential_dot_norm);

  const zv::SimdLevel machine = zv::HardwareCapabilities::init_global().simd_level;
  for (zv::SimdLevel level : {zv::SimdLevel::kScalar, zv::SimdLevel::kAvx2, zv::SimdLevel::kAvx512}) {
    if (static_cast<int>(machine) > static_cast<int>(level)) continue;  // best first
    register_kernels(zv::simd_level_name(level), zv::DistanceKernels::for_level(level));
  }
  // The 16-wide family in 4-lane arithmetic, for comparison with Avx512.
  register_kernels("x16_4lane", {zv::hardware::l2_squared_f32_x16, zv::hardware::dot_f32_x16,
                                 zv::hardware::dot_norm_f32_x16});

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
