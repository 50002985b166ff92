// The inverted-file index and the 8-bit quantised scan: Google Benchmark
// targets for one query of each, plus a command-line mode that the
// side-by-side driver (bench/vector_ivf_bench.py) runs on cached data sets:
//   vector_ivf_bench run --base B --queries Q --truth T --metric cosine|euclidean
//                        --nlist L --nprobe 1,5,10 [--scan-queries S] [--repeat R]
// (file formats in bench/vector_rows.h). It prints one JSON object per line:
// the IVF build, recall@10 and single-thread QPS (queries per second of
// processor time, the fastest of R passes) at each probe count, then the
// same for the 8-bit scan over its first S queries. Each line carries a hash
// of the results (ids and score bits), so that a change to the search can be
// shown to return the same answers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "bench/bench_smoke.h"
#include "bench/vector_rows.h"
#include "platform/coding.h"
#include "src/index/ivf_index.h"
#include "src/index/kmeans.h"
#include "src/index/scann_index.h"
#include "src/index/testing/vector_data.h"

namespace {

using zv::DistanceMetric;
using zv::FilterBitset;
using zv::IvfEntry;
using zv::IvfIndex;
using zv::NodeId;
using zv::ScannIndex;
using zv::ScoredCandidate;
using zv::VectorRepr;
using zv::bench::Rows;

IvfIndex build_ivf(const Rows& base, uint64_t nlist, uint64_t nprobe, DistanceMetric metric) {
  std::vector<IvfEntry> entries(base.n);
  for (uint32_t i = 0; i < base.n; ++i) {
    entries[i].id = NodeId{i};
    entries[i].vector.assign(base.row(i).begin(), base.row(i).end());
  }
  return IvfIndex::build(std::move(entries), nlist, nprobe, metric);
}

// The same index searching `nprobe` lists: the probe count is stored in the
// blob's second field.
IvfIndex with_nprobe(const IvfIndex& ivf, uint64_t nprobe) {
  std::string blob;
  ivf.encode_to(&blob);
  std::string field;
  zv::coding::put_u64_le(&field, nprobe);
  blob.replace(8, 8, field);
  return *IvfIndex::decode({reinterpret_cast<const uint8_t*>(blob.data()), blob.size()});
}

// Entries in the `nprobe` lists whose centroids score best, per query.
double scanned_per_query(const IvfIndex& ivf, const Rows& queries, uint64_t nprobe) {
  uint64_t total = 0;
  for (uint32_t q = 0; q < queries.n; ++q) {
    std::vector<std::pair<float, size_t>> scores;
    for (size_t c = 0; c < ivf.centroids().size(); ++c)
      scores.push_back({zv::ivf_score(queries.row(q), ivf.centroids()[c], ivf.metric()), c});
    const size_t take = std::min<size_t>(nprobe, scores.size());
    std::partial_sort(scores.begin(), scores.begin() + take, scores.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = 0; i < take; ++i) total += ivf.lists()[scores[i].second].size();
  }
  return double(total) / queries.n;
}

ScannIndex build_scan(const Rows& base, DistanceMetric metric) {
  ScannIndex::Builder b(ScannIndex::kDefaultRerank, metric);
  for (uint32_t i = 0; i < base.n; ++i)
    (void)b.add(NodeId{i}, FilterBitset(), VectorRepr::f32({base.row(i).begin(), base.row(i).end()}),
                i);
  return std::move(b).finish();
}

// One timed point: `search(q)` over queries [0, count), the fastest of
// `repeat` passes, with recall@10 against the truth and a hash of the results.
template <class Search>
void measure(const char* engine, const char* param, uint64_t value, const Rows& queries,
             size_t count, const std::vector<std::vector<uint32_t>>& truth, int repeat,
             Search&& search) {
  size_t hits = 0;
  uint64_t hash = 0;
  double best = 0.0;
  for (int pass = 0; pass < repeat; ++pass) {
    hits = 0;
    hash = 0xCBF29CE484222325ull;
    const double c0 = zv::bench::cpu_seconds();
    for (size_t q = 0; q < count; ++q) {
      const std::vector<ScoredCandidate> res = search(queries.row(q));
      for (const auto& c : res) {
        uint32_t bits;
        std::memcpy(&bits, &c.score, sizeof bits);
        hash = (hash ^ static_cast<uint64_t>(c.id) ^ (uint64_t{bits} << 32)) * 0x100000001B3ull;
      }
      for (size_t i = 0; i < std::min<size_t>(10, res.size()); ++i)
        for (size_t j = 0; j < 10 && j < truth[q].size(); ++j)
          hits += static_cast<uint64_t>(res[i].id) == truth[q][j];
    }
    const double secs = zv::bench::cpu_seconds() - c0;
    if (pass == 0 || secs < best) best = secs;
  }
  std::printf(
      "{\"engine\": \"%s\", \"%s\": %llu, \"qps\": %.1f, \"recall\": %.4f, \"result_hash\": "
      "\"%016llx\"}\n",
      engine, param, static_cast<unsigned long long>(value), count / best,
      static_cast<double>(hits) / (10.0 * count), static_cast<unsigned long long>(hash));
  std::fflush(stdout);
}

int run_cli(int argc, char** argv) {
  using zv::bench::arg;
  Rows base, queries;
  std::vector<std::vector<uint32_t>> truth;
  if (!zv::bench::read_rows(arg(argc, argv, "--base", ""), &base) ||
      !zv::bench::read_rows(arg(argc, argv, "--queries", ""), &queries) ||
      !zv::bench::read_truth(arg(argc, argv, "--truth", ""), &truth) ||
      truth.size() != queries.n || base.dim != queries.dim) {
    std::fprintf(stderr, "vector_ivf_bench: cannot read the data files\n");
    return 2;
  }
  const DistanceMetric metric = arg(argc, argv, "--metric", "cosine") == "euclidean"
                                    ? DistanceMetric::kEuclidean
                                    : DistanceMetric::kCosine;
  const uint64_t nlist = std::stoull(arg(argc, argv, "--nlist", "100"));
  const auto probes = zv::bench::number_list(arg(argc, argv, "--nprobe", "1,5,10,20"));
  const int repeat = std::max(1, std::stoi(arg(argc, argv, "--repeat", "1")));
  const size_t scan_queries =
      std::min<size_t>(queries.n, std::stoull(arg(argc, argv, "--scan-queries", "200")));
  const FilterBitset all = FilterBitset::unfiltered();

  auto t0 = std::chrono::steady_clock::now();
  const IvfIndex ivf = build_ivf(base, nlist, IvfIndex::kDefaultNprobe, metric);
  const double build_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("{\"engine\": \"ivf\", \"build_seconds\": %.3f, \"lists\": %zu}\n", build_s,
              ivf.centroids().size());
  for (uint64_t nprobe : probes) {
    const IvfIndex probed = with_nprobe(ivf, nprobe);
    std::printf("{\"engine\": \"ivf\", \"nprobe\": %llu, \"scanned_per_query\": %.1f}\n",
                static_cast<unsigned long long>(nprobe), scanned_per_query(ivf, queries, nprobe));
    measure("ivf", "nprobe", nprobe, queries, queries.n, truth, repeat,
            [&](std::span<const float> q) { return probed.search(q, 10, all); });
  }
  const ScannIndex scan = build_scan(base, metric);
  measure("sq8", "queries", scan_queries, queries, scan_queries, truth, repeat,
          [&](std::span<const float> q) { return scan.search(q, all, 10); });
  return 0;
}

// --- Google Benchmark targets ---

constexpr size_t kDim = 128;
const size_t kNodes = zv::bench::sized<size_t>(20000, 2000);
constexpr size_t kQueries = 100;

struct Fixture {
  Rows base, queries;
  Fixture() {
    base.n = static_cast<uint32_t>(kNodes);
    base.dim = kDim;
    base.values = zv::testing::clustered_vectors(kNodes, kDim, 100, 0.5f, 1, 2);
    queries.n = kQueries;
    queries.dim = kDim;
    queries.values = zv::testing::clustered_vectors(kQueries, kDim, 100, 0.5f, 1, 3);
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

void BM_IvfSearch(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto metric = static_cast<DistanceMetric>(state.range(0));
  const IvfIndex ivf = build_ivf(f.base, static_cast<uint64_t>(std::sqrt(double(kNodes))) + 1,
                                 IvfIndex::kDefaultNprobe, metric);
  size_t q = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(ivf.search(f.queries.row(q++ % kQueries), 10, FilterBitset::unfiltered()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IvfSearch)
    ->Arg(static_cast<int>(DistanceMetric::kCosine))
    ->Arg(static_cast<int>(DistanceMetric::kEuclidean))
    ->Unit(benchmark::kMicrosecond);

void BM_Sq8Scan(benchmark::State& state) {
  const Fixture& f = fixture();
  const ScannIndex scan = build_scan(f.base, static_cast<DistanceMetric>(state.range(0)));
  size_t q = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(scan.search(f.queries.row(q++ % kQueries), FilterBitset::unfiltered(), 10));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sq8Scan)
    ->Arg(static_cast<int>(DistanceMetric::kCosine))
    ->Arg(static_cast<int>(DistanceMetric::kEuclidean))
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "run") == 0) return run_cli(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
