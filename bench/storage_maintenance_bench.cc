// The storage engine's maintenance at 10,000 and 100,000 nodes of 128 dims,
// on a database in a temporary directory (file segment, sharded log, the
// in-memory backend so that the index file write is what a flush costs):
//   - flush with a copied (in-memory) index and with a mapped one;
//   - the full index rebuild from segment 0 against the parallel fill of a
//     fresh index with the same stored nodes alone, in the same run (the
//     rebuild adds the flush before it, the walk of the segment and the
//     index file write);
//   - layout compaction after a tenth of the nodes were deleted.
// Each heavy step runs once per size; the engine of a size is built once
// (a batch left for the rebuild, so the first rebuild fills it).
#include <benchmark/benchmark.h>

#include <map>
#include <random>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/index/hnsw_index.h"
#include "src/index/index_persistence.h"
#include "src/storage/engine_open.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/storage_engine.h"
#include "src/wal/wal_records.h"

namespace {

using namespace zv;

constexpr size_t kDim = 128;

EngineNode bench_node(NodeId id) {
  EngineNode n = EngineNode::create(id);
  std::mt19937 rng(static_cast<uint32_t>(id));
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(kDim);
  for (float& x : v) x = d(rng);
  n.vector = VectorRepr::f32(std::move(v));
  n.set_field("kind", FieldValue::string("note"));
  return n;
}

// One database of `n` nodes, its index filled by the rebuild benchmark.
struct Db {
  testing::TempDir dir;
  std::shared_ptr<StorageEngine> e;
  uint64_t nodes = 0;
  explicit Db(uint64_t n) : nodes(n) {
    Config c;
    c.backend = BackendKind::kInMemory;
    c.memory_pressure_ratio = 0;
    EngineParts parts = StorageEngine::memory_mode_parts(c);
    parts.segments.clear();
    parts.segments.push_back(*VFile::open(dir.path() + "/vstore_L0.zolva", kDefaultSegmentBytes, false));
    parts.wal = std::shared_ptr<wal::ShardedWal>(
        *wal::ShardedWal::open(dir.path() + "/zolva.wal", c.wal_shards, wal::sharded_wal_options(c)));
    parts.data_dir = dir.path();
    e = StorageEngine::assemble(std::move(parts));
    BatchInsertOptions o;
    o.insert_mode = InsertMode::kRebuild;
    o.skip_existing_check = true;
    std::vector<EngineNode> chunk;
    for (NodeId id = 1; id <= n; ++id) {
      chunk.push_back(bench_node(id));
      if (chunk.size() == 5000 || id == n) {
        if (!e->batch_insert_with_opts(chunk, o).ok()) std::abort();
        chunk.clear();
      }
    }
  }
  std::string index_path() const { return fs::join(dir.path(), kIndexFileName); }
};

uint64_t size_of(int64_t full) {
  return full == 10000 ? bench::sized<uint64_t>(10000, 500) : bench::sized<uint64_t>(100000, 1000);
}

Db& db(int64_t full) {
  static std::map<int64_t, std::unique_ptr<Db>> dbs;
  auto& slot = dbs[full];
  if (!slot) slot = std::make_unique<Db>(size_of(full));
  return *slot;
}

void BM_Rebuild(benchmark::State& state) {
  Db& d = db(state.range(0));
  for (auto _ : state) {
    auto r = d.e->rebuild_vector_index();
    if (!r.ok()) return state.SkipWithError(r.error().message().c_str());
  }
  state.counters["nodes"] = static_cast<double>(d.e->vector_index()->len());
}

void BM_ParallelFillAlone(benchmark::State& state) {
  Db& d = db(state.range(0));
  StoreScan scan = scan_store_for_rebuild(d.e->segments[0]->file);
  for (auto _ : state) {
    state.PauseTiming();
    auto index = std::make_unique<HnswIndex>(HnswConfig{}, IndexBacking::in_memory());
    std::vector<RebuildItem> items = scan.items;
    state.ResumeTiming();
    if (!add_rebuild_items(*index, items).ok()) return state.SkipWithError("fill failed");
  }
  state.counters["nodes"] = static_cast<double>(scan.items.size());
}

void BM_Flush(benchmark::State& state) {
  Db& d = db(state.range(0));
  const bool mapped = state.range(1) != 0;
  std::shared_ptr<VectorIndexPort> copied = d.e->vector_index();
  if (mapped) {
    if (!copied->persist(d.index_path()).ok()) return state.SkipWithError("persist failed");
    std::shared_ptr<VectorIndexPort> m = load_vector_index(d.index_path(), true);
    if (!m) return state.SkipWithError("mapped load failed");
    d.e->swap_vector_index(std::move(m));
  }
  NodeId next = 10'000'000;
  for (auto _ : state) {
    state.PauseTiming();
    if (!d.e->insert(bench_node(next++)).ok()) return state.SkipWithError("insert failed");
    state.ResumeTiming();
    auto f = d.e->flush();
    if (!f.ok()) return state.SkipWithError(f.error().message().c_str());
  }
  auto bytes = fs::file_size(d.index_path());
  state.counters["index_file_mb"] = bytes.ok() ? static_cast<double>(*bytes) / 1048576.0 : 0.0;
  if (mapped) d.e->swap_vector_index(copied);  // the nodes inserted here stay in the store
}

void BM_CompactLayout(benchmark::State& state) {
  Db& d = db(state.range(0));
  for (NodeId id = 1; id <= d.nodes; id += 10) (void)d.e->delete_node(id, "bench");
  for (auto _ : state) {
    auto c = d.e->compact_layout_bfs();
    if (!c.ok()) return state.SkipWithError(c.error().message().c_str());
    state.counters["moved"] = static_cast<double>(*c);
  }
}

// Registration order is run order: the rebuild fills each database first.
BENCHMARK(BM_Rebuild)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParallelFillAlone)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Flush)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CompactLayout)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
