// MMR re-ranking of a large candidate list against its floor: the
// top_k x fetch_k dot-and-norm kernel calls that picking top_k hits needs
// when each candidate keeps its running greatest similarity. The ratio of the
// two is the step's overhead beyond its arithmetic.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/search/mmr.h"
#include "src/vector/kernel_call.h"

namespace {

constexpr size_t kDim = 384;

std::vector<zv::SearchHit> candidates(size_t n) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<zv::SearchHit> hits(n);
  for (size_t i = 0; i < n; ++i) {
    hits[i].record.key = std::to_string(i);
    hits[i].score = 1.0f / static_cast<float>(60 + i);
    std::vector<float> v(kDim);
    for (float& x : v) x = u(rng);
    hits[i].record.vector = std::move(v);
  }
  return hits;
}

size_t fetch_k() { return zv::bench::sized<size_t>(16384, 512); }
uint64_t top_k() { return zv::bench::sized<uint64_t>(100, 10); }

void BM_MmrRerank(benchmark::State& state) {
  const std::vector<zv::SearchHit> base = candidates(fetch_k());
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<zv::SearchHit> hits = base;
    state.ResumeTiming();
    auto picked = zv::search::mmr_rerank(std::move(hits), top_k(), zv::MmrOptions{std::nullopt, 0.5f});
    benchmark::DoNotOptimize(picked.data());
    state.PauseTiming();
    picked.clear();
    state.ResumeTiming();
  }
  state.counters["kernel_calls"] = static_cast<double>(top_k() * fetch_k());
}

void BM_KernelFloor(benchmark::State& state) {
  const std::vector<zv::SearchHit> base = candidates(fetch_k());
  const uint64_t picks = top_k();
  std::vector<zv::F32View> views;
  for (const zv::SearchHit& h : base) views.emplace_back(*h.record.vector);
  std::vector<float> out(views.size());
  for (auto _ : state) {
    for (uint64_t p = 0; p < picks; ++p) {
      for (size_t i = 0; i < views.size(); ++i) out[i] = zv::kern::dot_norm(views[i], views[p]).first;
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["kernel_calls"] = static_cast<double>(top_k() * fetch_k());
}

BENCHMARK(BM_MmrRerank)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelFloor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
