// The dense and sparse candidate stages of search against their parts
// measured alone in the same run (memory mode, one thread):
//   - dense, c = 10, no filters: the stage vs the index search (k = 100)
//     plus get_many of the rows the stage reads (the first 10 candidates);
//   - exact route (a filter matching ~500 records): the stage vs
//     list_filtered_records plus one kernel call per record;
//   - pre-filter band (a filter matching 5% of the records): the stage vs
//     the exact route alone over the same filter;
//   - post-filtering with a weak filter (half the records): QPS;
//   - sparse: the stage vs the floor of the storage layout (the prefix scans
//     and decoding of the same postings, without scoring or node reads).
// Data (fixed seeds): 100,000 records with 384-dim vectors from a Gaussian
// mixture of 100 clusters, 5 metadata fields (20, 200 and 1,000 values, a
// bool, an int), and 20 sparse dimensions each drawn from a Zipf law over
// 30,000 dimensions; queries of 10 sparse dimensions. ZV_VSTAGES_N overrides
// the record count. Ratios are printed as counters ("ratio").
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/search/dense_stage.h"
#include "src/search/sparse_stage.h"
#include "src/storage/filtered_records.h"
#include "src/storage/shred_record.h"
#include "src/storage/storage_engine.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/vector/kernel_call.h"

namespace {

using namespace zv;

constexpr size_t kDim = 384;
constexpr size_t kClusters = 100;
constexpr uint32_t kSparseDims = 30000;

size_t record_count() {
  if (const char* n = std::getenv("ZV_VSTAGES_N")) return std::strtoull(n, nullptr, 10);
  return bench::sized<size_t>(100000, 2000);
}

// Zipf over [0, n) by inverse transform on the cumulative weights 1 / (r+1).
class Zipf {
 public:
  explicit Zipf(uint32_t n) : cdf_(n) {
    double sum = 0;
    for (uint32_t r = 0; r < n; ++r) cdf_[r] = (sum += 1.0 / (r + 1.0));
    for (double& c : cdf_) c /= sum;
  }
  uint32_t operator()(std::mt19937_64& rng) const {
    const double u = std::uniform_real_distribution<double>(0, 1)(rng);
    return uint32_t(std::lower_bound(cdf_.begin(), cdf_.end(), u) - cdf_.begin());
  }

 private:
  std::vector<double> cdf_;
};

struct Data {
  std::shared_ptr<StorageEngine> engine;
  std::vector<std::vector<float>> centres;
  std::vector<std::vector<float>> queries;
  std::vector<SparseVector> sparse_queries;
  size_t n = 0;

  std::vector<float> draw(std::mt19937_64& rng) const {
    std::normal_distribution<float> noise(0.0f, 0.3f);
    const auto& c = centres[rng() % centres.size()];
    std::vector<float> v(kDim);
    for (size_t i = 0; i < kDim; ++i) v[i] = c[i] + noise(rng);
    return v;
  }

  Data() : n(record_count()) {
    Config config;
    config.backend = BackendKind::kInMemory;
    engine = StorageEngine::assemble(StorageEngine::memory_mode_parts(config));
    std::mt19937_64 rng(20261211);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    centres.assign(kClusters, std::vector<float>(kDim));
    for (auto& c : centres) {
      for (float& x : c) x = unit(rng);
    }
    const Zipf zipf(kSparseDims);
    BatchInsertOptions opts;
    opts.skip_existing_check = true;
    opts.skip_wal = true;
    std::vector<EngineNode> nodes;
    std::vector<BatchOp> ops;
    for (size_t i = 0; i < n; ++i) {
      MemoryRecord r;
      r.ns = "bench";
      r.key = "k" + std::to_string(1000000 + i);
      r.payload = "p";
      r.node_id = i + 1;
      r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
      r.version = 1;
      r.vector = draw(rng);
      r.metadata.emplace("f20", FieldValue::integer(int64_t(i % 20)));
      r.metadata.emplace("f200", FieldValue::string("v" + std::to_string(i % 200)));
      r.metadata.emplace("f1000", FieldValue::integer(int64_t(i % 1000)));
      r.metadata.emplace("even", FieldValue::boolean(i % 2 == 0));
      r.metadata.emplace("rank", FieldValue::integer(int64_t(i)));
      SparseVector sv;
      while (sv.size() < 20) sv[zipf(rng)] = 0.1f + float(rng() % 100) / 100.0f;
      r.sparse_vector = std::move(sv);
      nodes.push_back(r.into_node());
      auto derived = text::derived_index_put_ops(r);
      for (auto& op : *derived) ops.push_back(std::move(op));
      auto sparse = text::sparse_posting_put_ops(r);
      for (auto& op : *sparse) ops.push_back(std::move(op));
      ops.push_back(BatchOp::put(Partition::kInternalMetadata, shred_record::key(r.node_id),
                                 shred_record::encode(r.metadata)));
      if (nodes.size() == 1000 || i + 1 == n) {
        auto st = engine->batch_insert_with_opts(nodes, opts);
        if (!st.ok()) std::abort();
        if (!engine->backend->write_batch(std::move(ops)).ok()) std::abort();
        nodes.clear();
        ops.clear();
      }
    }
    const text::DerivedIndexState state = text::DerivedIndexState::create(n, n, 5 * n);
    (void)engine->backend->put(Partition::kInternalMetadata, text::kDerivedIndexStateKey,
                               state.encode());
    std::mt19937_64 qrng(7);
    for (int q = 0; q < 200; ++q) {
      queries.push_back(draw(qrng));
      SparseVector sq;
      while (sq.size() < 10) sq[zipf(qrng)] = 1.0f;
      sparse_queries.push_back(std::move(sq));
    }
  }
};

Data& data() {
  static Data* d = new Data();
  return *d;
}

FieldMap filter(const char* field, FieldValue v) {
  FieldMap m;
  m.emplace(field, std::move(v));
  return m;
}

template <class F>
void run(benchmark::State& state, F&& body) {
  Data& d = data();
  size_t q = 0;
  for (auto _ : state) {
    body(d, q % d.queries.size());
    ++q;
  }
  state.counters["qps"] = benchmark::Counter(double(q), benchmark::Counter::kIsRate);
}

void BM_DenseStage(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto r = search::dense_candidates(*d.engine, "bench", d.queries[q], {}, 10,
                                      DistanceMetric::kCosine, 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_DenseParts(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto index = d.engine->vector_index();
    auto c = index->search_by_method(0, d.queries[q], FilterBitset::all_ones(), 100,
                                     DistanceMetric::kCosine);
    std::vector<NodeId> ids;
    for (size_t i = 0; i < c->size() && i < 10; ++i) ids.push_back((*c)[i].id);
    auto rows = d.engine->get_many(ids);
    benchmark::DoNotOptimize(rows);
  });
}

void BM_ExactRoute(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto r = search::dense_candidates(*d.engine, "bench", d.queries[q],
                                      filter("f200", FieldValue::string("v" + std::to_string(q % 200))),
                                      10, DistanceMetric::kCosine, 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_ExactParts(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto records = list_filtered_records(
        *d.engine, "bench", filter("f200", FieldValue::string("v" + std::to_string(q % 200))));
    float sum = 0;
    for (const MemoryRecord& r : *records) sum += kern::dot_norm(d.queries[q], *r.vector).first;
    benchmark::DoNotOptimize(sum);
  });
}

void BM_PrefilterBand(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto r = search::dense_candidates(*d.engine, "bench", d.queries[q],
                                      filter("f20", FieldValue::integer(int64_t(q % 20))), 10,
                                      DistanceMetric::kCosine, 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_PrefilterExactAlone(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto r = search::exact_dense_candidates(*d.engine, "bench", d.queries[q],
                                            filter("f20", FieldValue::integer(int64_t(q % 20))),
                                            10, DistanceMetric::kCosine);
    benchmark::DoNotOptimize(r);
  });
}

void BM_PostFilterWeak(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto r = search::dense_candidates(*d.engine, "bench", d.queries[q],
                                      filter("even", FieldValue::boolean(true)), 10,
                                      DistanceMetric::kCosine, 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_SparseStage(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    auto r = search::sparse_candidates(*d.engine, "bench", d.sparse_queries[q], {}, 10);
    benchmark::DoNotOptimize(r);
  });
}

void BM_SparseFloor(benchmark::State& state) {
  run(state, [](Data& d, size_t q) {
    float sum = 0;
    for (const auto& [dim, w] : d.sparse_queries[q]) {
      auto it = d.engine->backend->prefix_iter(Partition::kSparseIndex,
                                               text::sparse_posting_prefix("bench", dim));
      while (auto item = (*it)->next_view()) {
        auto p = text::decode_sparse_posting((**item).value);
        sum += p->weight;
      }
    }
    benchmark::DoNotOptimize(sum);
  });
}

}  // namespace

BENCHMARK(BM_DenseStage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DenseParts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExactRoute)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExactParts)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrefilterBand)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrefilterExactAlone)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PostFilterWeak)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SparseStage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SparseFloor)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
