// The vector index beside its file, and its alternative search engines:
//   - persist (streamed through the temporary file), persist_and_remap, and
//     loading copied or mapped, on a 100,000 x 128 index whose layer-0 lists
//     hold 48 neighbours (the graph is synthesised into the file so that the
//     setup stays short);
//   - one query of the graph, IVF and ScaNN-style searches on 20,000 x 128
//     clustered vectors, with recall@10 against the exact scan as a counter.
#include <benchmark/benchmark.h>

#include "bench/bench_smoke.h"

#include <random>
#include <thread>
#include <unordered_set>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/index/index_file.h"
#include "src/index/index_persistence.h"
#include "src/index/testing/index_file_layout.h"
#include "src/index/testing/vector_data.h"

namespace {

using namespace zv;

constexpr size_t kDim = 128;
const size_t kFileNodes = zv::bench::sized<size_t>(100000, 2000);
const size_t kSearchNodes = zv::bench::sized<size_t>(20000, 1000);
const size_t kQueries = zv::bench::sized<size_t>(200, 20);

struct FileFixture {
  testing::TempDir dir;
  std::string path = fs::join(dir.path(), kIndexFileName);
  std::unique_ptr<HnswIndex> index;

  FileFixture() {
    HnswConfig cfg;
    testing::LayoutBytes b;
    testing::layout_header(b, 8, cfg, 0, NodeId{1}, kFileNodes);
    const auto data = testing::gaussian_vectors(kFileNodes, kDim, 11);
    std::mt19937_64 rng(5);
    for (size_t i = 0; i < kFileNodes; ++i) {
      std::vector<NodeId> list(48);
      for (NodeId& n : list) n = NodeId{rng() % kFileNodes + 1};
      testing::layout_f32_node(b, 8, NodeId{i + 1}, {}, i,
                               std::vector<float>(data.begin() + i * kDim,
                                                  data.begin() + (i + 1) * kDim),
                               {list});
    }
    b.u8(0);
    (void)fs::write_file(path, b.str());
    index = load_vector_index(path, false);
  }
};

FileFixture& file_fixture() {
  static FileFixture f;
  return f;
}

void BM_Persist(benchmark::State& state) {
  FileFixture& f = file_fixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.index->persist(f.path).ok());
  auto size = fs::file_size(f.path);
  state.counters["file_MB"] = size.ok() ? double(*size) / 1e6 : 0.0;
}
BENCHMARK(BM_Persist)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PersistAndRemap(benchmark::State& state) {
  FileFixture& f = file_fixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.index->persist_and_remap(f.path).ok());
}
BENCHMARK(BM_PersistAndRemap)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Load(benchmark::State& state) {
  FileFixture& f = file_fixture();
  const bool mapped = state.range(0) != 0;
  for (auto _ : state) {
    auto loaded = load_vector_index(f.path, mapped);
    if (!loaded) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(loaded.get());
  }
  state.SetLabel(mapped ? "mapped" : "copied");
}
BENCHMARK(BM_Load)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

struct SearchFixture {
  std::vector<float> queries;
  std::unique_ptr<HnswIndex> index;

  SearchFixture() {
    const auto data = testing::clustered_vectors(kSearchNodes, kDim, 100, 0.1f, 42, 1);
    queries = testing::clustered_vectors(kQueries, kDim, 100, 0.1f, 42, 2);
    HnswConfig cfg;
    cfg.metric = DistanceMetric::kEuclidean;
    cfg.flat_threshold = std::nullopt;
    index = std::make_unique<HnswIndex>(cfg, IndexBacking::in_memory());
    std::vector<std::thread> workers;
    for (size_t t = 0; t < 4; ++t) {
      workers.emplace_back([&, t] {
        for (size_t i = t; i < kSearchNodes; i += 4)
          (void)index->add(NodeId{i + 1}, {},
                           VectorRepr::f32(std::vector<float>(data.begin() + i * kDim,
                                                              data.begin() + (i + 1) * kDim)),
                           i);
      });
    }
    for (auto& w : workers) w.join();
  }
  std::span<const float> query(size_t i) const {
    return std::span<const float>(queries).subspan((i % kQueries) * kDim, kDim);
  }
};

SearchFixture& search_fixture() {
  static SearchFixture f;
  return f;
}

// 0 the graph, 1 IVF, 4 ScaNN-style: the method byte of search_by_method.
NearestResult search(const HnswIndex& index, uint8_t method, std::span<const float> q) {
  if (method == 0)
    return index.search_nearest(q, std::nullopt, std::nullopt, FilterBitset::unfiltered(), 10,
                                nullptr);
  return *index.search_by_method(method, q, FilterBitset::unfiltered(), 10, index.metric());
}

void BM_Search(benchmark::State& state) {
  SearchFixture& f = search_fixture();
  const auto method = static_cast<uint8_t>(state.range(0));
  size_t hits = 0;
  for (size_t i = 0; i < kQueries; ++i) {  // also builds the cache
    auto exact = f.index->search_by_method(2, f.query(i), FilterBitset::unfiltered(), 10,
                                           f.index->metric());
    std::unordered_set<uint64_t> want;
    for (const auto& c : *exact) want.insert(uint64_t(c.id));
    for (const auto& c : search(*f.index, method, f.query(i))) hits += want.count(uint64_t(c.id));
  }
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(search(*f.index, method, f.query(i++)));
  state.SetItemsProcessed(state.iterations());
  state.counters["recall@10"] = double(hits) / (10.0 * kQueries);
  state.SetLabel(method == 0 ? "hnsw" : method == 1 ? "ivf" : "scann");
}
BENCHMARK(BM_Search)->Arg(0)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
