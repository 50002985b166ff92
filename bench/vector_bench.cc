// The dense-vector index: Google Benchmark targets for scoring and for one
// graph search, plus a command-line mode that the side-by-side driver
// (bench/vector_bench.py) runs on cached data sets:
//   vector_bench run --base B --queries Q --truth T --metric cosine|euclidean
//                    --threads N --ef 10,20,40 [--repeat R]
// B and Q hold a u32 count, a u32 dimension and the f32 rows; T holds a u32
// count, a u32 k and k u32 row numbers per query. It prints one JSON object
// per line: the build, then recall@10 and single-thread QPS (queries per
// second of processor time, the fastest of R passes) at each width.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/fs.h"
#include "src/index/hnsw_index.h"
#include "src/index/testing/resident.h"
#include "src/index/testing/vector_data.h"
#include "src/vector/score.h"

namespace {

using zv::DistanceMetric;
using zv::FilterBitset;
using zv::HnswConfig;
using zv::HnswIndex;
using zv::IndexBacking;
using zv::NodeId;
using zv::VectorRepr;

struct Rows {
  uint32_t n = 0, dim = 0;
  std::vector<float> values;
  std::span<const float> row(size_t i) const {
    return std::span<const float>(values).subspan(i * dim, dim);
  }
};

bool read_rows(const std::string& path, Rows* out) {
  auto bytes = zv::fs::read_file(path);
  if (!bytes.ok() || bytes->size() < 8) return false;
  std::memcpy(&out->n, bytes->data(), 4);
  std::memcpy(&out->dim, bytes->data() + 4, 4);
  const size_t want = 8 + size_t{out->n} * out->dim * 4;
  if (bytes->size() != want) return false;
  out->values.resize(size_t{out->n} * out->dim);
  std::memcpy(out->values.data(), bytes->data() + 8, want - 8);
  return true;
}

bool read_truth(const std::string& path, std::vector<std::vector<uint32_t>>* out) {
  auto bytes = zv::fs::read_file(path);
  if (!bytes.ok() || bytes->size() < 8) return false;
  uint32_t n, k;
  std::memcpy(&n, bytes->data(), 4);
  std::memcpy(&k, bytes->data() + 4, 4);
  if (bytes->size() != 8 + size_t{n} * k * 4) return false;
  out->assign(n, std::vector<uint32_t>(k));
  for (uint32_t i = 0; i < n; ++i)
    std::memcpy((*out)[i].data(), bytes->data() + 8 + size_t{i} * k * 4, size_t{k} * 4);
  return true;
}

std::string arg(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 2; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Processor time of the process: queries run on one thread, and processor
// time keeps other load on a shared machine out of the figure.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Builds like the engine's batch insert: levels drawn at once, nodes added
// with their given level from several threads.
std::unique_ptr<HnswIndex> build(const Rows& base, DistanceMetric metric, size_t threads) {
  HnswConfig cfg;  // m 32, m_max0 64, ef_construction 100
  cfg.metric = metric;
  cfg.flat_threshold = std::nullopt;
  cfg.ef_search = 10;  // the measured width comes from top_k below
  auto index = std::make_unique<HnswIndex>(cfg, IndexBacking::in_memory());
  const auto levels = index->levels_for_batch(12345, base.n);
  std::atomic<size_t> next{0};
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (size_t i = next.fetch_add(1); i < base.n; i = next.fetch_add(1)) {
        auto r = base.row(i);
        (void)index->add_at_level(NodeId{i}, FilterBitset(),
                                  VectorRepr::f32(std::vector<float>(r.begin(), r.end())), i,
                                  levels[i]);
      }
    });
  }
  for (auto& th : pool) th.join();
  return index;
}

int run_cli(int argc, char** argv) {
  Rows base, queries;
  std::vector<std::vector<uint32_t>> truth;
  if (!read_rows(arg(argc, argv, "--base", ""), &base) ||
      !read_rows(arg(argc, argv, "--queries", ""), &queries) ||
      !read_truth(arg(argc, argv, "--truth", ""), &truth) || truth.size() != queries.n ||
      base.dim != queries.dim) {
    std::fprintf(stderr, "vector_bench: cannot read the data files\n");
    return 2;
  }
  const DistanceMetric metric = arg(argc, argv, "--metric", "cosine") == "euclidean"
                                    ? DistanceMetric::kEuclidean
                                    : DistanceMetric::kCosine;
  const size_t threads = std::stoul(arg(argc, argv, "--threads", "1"));
  std::vector<uint64_t> efs;
  const std::string ef_list = arg(argc, argv, "--ef", "10,20,40,80,160");
  for (size_t at = 0; at < ef_list.size();) {
    size_t comma = ef_list.find(',', at);
    if (comma == std::string::npos) comma = ef_list.size();
    efs.push_back(std::stoull(ef_list.substr(at, comma - at)));
    at = comma + 1;
  }

  const uint64_t rss_before = zv::testing::resident_bytes();
  auto t0 = std::chrono::steady_clock::now();
  auto index = build(base, metric, threads);
  const double build_secs = seconds_since(t0);
  const uint64_t rss_growth = zv::testing::resident_bytes() - rss_before;
  // A fingerprint of every list (node and layer-map copies) in id order:
  // with one building thread the graph is deterministic, so a change of the
  // code that must not change behaviour can be checked by it.
  uint64_t degree0 = 0, max_degree0 = 0, graph_hash = 0xCBF29CE484222325ull;
  auto mix = [&graph_hash](uint64_t v) {
    graph_hash = (graph_hash ^ v) * 0x100000001B3ull;
    graph_hash ^= graph_hash >> 29;
  };
  std::vector<NodeId> ids = index->node_ids();
  std::sort(ids.begin(), ids.end());
  for (NodeId id : ids) {
    const uint64_t d = index->node_layer_neighbors(id, 0).size();
    degree0 += d;
    max_degree0 = std::max(max_degree0, d);
    mix(static_cast<uint64_t>(id));
    for (uint64_t l = 0; l <= index->node_level(id); ++l) {
      for (NodeId n : index->node_layer_neighbors(id, l)) mix(static_cast<uint64_t>(n));
      mix(~uint64_t{0});
      for (NodeId n : index->neighbors(id, l)) mix(static_cast<uint64_t>(n));
      mix(~uint64_t{1});
    }
  }
  std::printf(
      "{\"build_seconds\": %.3f, \"nodes\": %llu, \"threads\": %zu, \"mean_degree0\": %.1f, "
      "\"max_degree0\": %llu, \"graph_hash\": \"%016llx\", \"rss_growth\": %llu, "
      "\"memory_usage\": %llu}\n",
      build_secs, static_cast<unsigned long long>(index->len()), threads,
      static_cast<double>(degree0) / std::max<uint64_t>(1, index->len()),
      static_cast<unsigned long long>(max_degree0), static_cast<unsigned long long>(graph_hash),
      static_cast<unsigned long long>(rss_growth),
      static_cast<unsigned long long>(index->memory_usage()));
  std::fflush(stdout);

  const FilterBitset& all = FilterBitset::unfiltered();
  // One untimed pass first, as the driver does for hnswlib, so that the
  // first width is not charged with the caches and pages the build left cold.
  if (!efs.empty()) {
    for (uint32_t q = 0; q < queries.n; ++q)
      (void)index->search_nearest(queries.row(q), std::nullopt, std::nullopt, all,
                                  std::max<uint64_t>(efs[0], 10), nullptr);
  }
  // Each width is timed `repeat` times and the fastest pass counts, so that
  // a burst of other load on a shared machine does not set a point.
  const int repeat = std::max(1, std::stoi(arg(argc, argv, "--repeat", "1")));
  for (uint64_t ef : efs) {
    // With ef_search at 10, a search for top_k = ef runs at width ef; its
    // first ten results are the answer.
    const uint64_t top_k = std::max<uint64_t>(ef, 10);
    size_t hits = 0;
    uint64_t result_hash = 0;
    double best = 0.0;
    for (int pass = 0; pass < repeat; ++pass) {
      hits = 0;
      result_hash = 0xCBF29CE484222325ull;
      const double c0 = cpu_seconds();
      for (uint32_t q = 0; q < queries.n; ++q) {
        auto res = index->search_nearest(queries.row(q), std::nullopt, std::nullopt, all, top_k,
                                         nullptr);
        for (const auto& c : res) {
          uint32_t bits;
          std::memcpy(&bits, &c.score, sizeof bits);
          result_hash = (result_hash ^ static_cast<uint64_t>(c.id) ^ (uint64_t{bits} << 32)) *
                        0x100000001B3ull;
        }
        const size_t k = std::min<size_t>(10, res.size());
        for (size_t i = 0; i < k; ++i)
          for (size_t j = 0; j < 10 && j < truth[q].size(); ++j)
            hits += static_cast<uint64_t>(res[i].id) == truth[q][j];
      }
      const double secs = cpu_seconds() - c0;
      if (pass == 0 || secs < best) best = secs;
    }
    std::printf("{\"ef\": %llu, \"qps\": %.1f, \"recall\": %.4f, \"result_hash\": \"%016llx\"}\n",
                static_cast<unsigned long long>(ef), queries.n / best,
                static_cast<double>(hits) / (10.0 * queries.n),
                static_cast<unsigned long long>(result_hash));
    std::fflush(stdout);
  }
  return 0;
}

// --- Google Benchmark targets ---

void BM_ScoreF32(benchmark::State& state) {
  const size_t dim = state.range(0);
  auto data = zv::testing::gaussian_vectors(2, dim, 1);
  VectorRepr stored = VectorRepr::f32(std::vector<float>(data.begin() + dim, data.end()));
  std::span<const float> q(data.data(), dim);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        zv::alternate::score_vector(q, {}, stored, DistanceMetric::kCosine));
}
BENCHMARK(BM_ScoreF32)->Arg(128)->Arg(768);

void BM_ScoreSq8(benchmark::State& state) {
  const size_t dim = state.range(0);
  auto data = zv::testing::gaussian_vectors(1, dim, 1);
  std::vector<int8_t> codes(dim);
  for (size_t i = 0; i < dim; ++i) codes[i] = static_cast<int8_t>(i % 200 - 100);
  VectorRepr stored = VectorRepr::sq8(2.0f, codes);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        zv::alternate::score_vector(data, {}, stored, DistanceMetric::kEuclidean));
}
BENCHMARK(BM_ScoreSq8)->Arg(128)->Arg(768);

void BM_GraphSearch(benchmark::State& state) {
  static const Rows base = [] {
    Rows r;
    r.n = 5000;
    r.dim = 64;
    r.values = zv::testing::clustered_vectors(r.n, r.dim, 50, 0.3f, 1, 2);
    return r;
  }();
  static const auto index = build(base, DistanceMetric::kCosine, 2);
  const auto queries = zv::testing::clustered_vectors(100, base.dim, 50, 0.3f, 1, 3);
  size_t q = 0;
  for (auto _ : state) {
    auto row = std::span<const float>(queries).subspan((q++ % 100) * base.dim, base.dim);
    benchmark::DoNotOptimize(index->search_nearest(row, std::nullopt, std::nullopt,
                                                   FilterBitset::unfiltered(), state.range(0),
                                                   nullptr));
  }
}
BENCHMARK(BM_GraphSearch)->Arg(10)->Arg(100);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "run") == 0) return run_cli(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
