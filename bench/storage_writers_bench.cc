// The storage engine's writers against their parts measured alone:
//   - memory mode: insert of 384-dim nodes vs the index add alone on the same
//     vectors and index parameters; batch insert of 10,000 nodes with the
//     index filled during the call vs the same adds alone, and with the index
//     left for a rebuild, per node;
//   - directory mode (a file-backed segment and the sharded log with the
//     default sync in a temporary directory): puts of nodes without a vector
//     vs one log append alone; 384-dim puts vs one append plus one index add;
//     batch insert indexed and left for a rebuild;
//   - delete with 1,000 and 100,000 stored nodes of 10 metadata fields.
// Every figure is per node (items per second).
#include <benchmark/benchmark.h>

#include <random>

#include "bench/bench_smoke.h"
#include "platform/testing/temp_dir.h"
#include "src/index/hnsw_index.h"
#include "src/storage/storage_engine.h"
#include "src/wal/wal_records.h"

namespace {

using namespace zv;

constexpr size_t kDim = 384;

EngineNode bench_node(NodeId id, bool with_vector) {
  EngineNode n = EngineNode::create(id);
  if (with_vector) {
    std::mt19937 rng(static_cast<uint32_t>(id));
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(kDim);
    for (float& x : v) x = d(rng);
    n.vector = VectorRepr::f32(std::move(v));
  }
  n.set_field("__zolva_namespace", FieldValue::string("bench"));
  n.set_field("__zolva_key", FieldValue::string("key-" + node_id_to_string(id)));
  n.set_field("kind", FieldValue::string("note"));
  n.set_field("score", FieldValue::floating(0.5 * static_cast<double>(id % 7)));
  n.set_field("count", FieldValue::integer(static_cast<int64_t>(id % 1000)));
  n.set_field("flag", FieldValue::boolean(id % 2 == 0));
  n.set_field("tags", FieldValue::list_string({"a", "b", "c"}));
  n.set_field("owner", FieldValue::string("someone@example"));
  n.set_field("source", FieldValue::string("benchmark"));
  n.set_field("priority", FieldValue::integer(3));
  return n;
}

std::vector<EngineNode> nodes(size_t n, bool with_vector) {
  std::vector<EngineNode> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(bench_node(1 + i, with_vector));
  return out;
}

Config bench_config() {
  Config c;
  c.backend = BackendKind::kInMemory;
  c.memory_pressure_ratio = 0;  // the benchmark machine's load is not the engine's
  return c;
}

std::shared_ptr<StorageEngine> memory_engine() {
  return StorageEngine::assemble(StorageEngine::memory_mode_parts(bench_config()));
}

// A file-backed segment and a log with the default settings.
struct DirEngine {
  testing::TempDir dir;
  std::shared_ptr<StorageEngine> e;
  DirEngine() {
    Config c = bench_config();
    EngineParts parts = StorageEngine::memory_mode_parts(c);
    parts.segments.clear();
    parts.segments.push_back(*VFile::open(dir.path() + "/vstore_L0.zolva", kDefaultSegmentBytes, false));
    parts.wal = std::shared_ptr<wal::ShardedWal>(
        *wal::ShardedWal::open(dir.path() + "/zolva.wal", c.wal_shards, wal::sharded_wal_options(c)));
    parts.data_dir = dir.path();
    e = StorageEngine::assemble(std::move(parts));
  }
};

size_t single_count() { return bench::sized<size_t>(2000, 100); }
size_t batch_count() { return bench::sized<size_t>(10000, 300); }

// --- Memory mode ---

void BM_IndexAddAlone(benchmark::State& state) {
  const auto ns = nodes(single_count(), true);
  for (auto _ : state) {
    state.PauseTiming();
    HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
    state.ResumeTiming();
    for (const EngineNode& n : ns) benchmark::DoNotOptimize(index.add(n.id, FilterBitset(n.bitset), n.vector, 64));
  }
  state.SetItemsProcessed(state.iterations() * ns.size());
}
BENCHMARK(BM_IndexAddAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InsertMemory(benchmark::State& state) {
  const auto ns = nodes(single_count(), true);
  for (auto _ : state) {
    state.PauseTiming();
    auto e = memory_engine();
    state.ResumeTiming();
    for (const EngineNode& n : ns) benchmark::DoNotOptimize(e->insert(n));
  }
  state.SetItemsProcessed(state.iterations() * ns.size());
}
BENCHMARK(BM_InsertMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BatchIndexAddAlone(benchmark::State& state) {
  const auto ns = nodes(batch_count(), true);
  for (auto _ : state) {
    state.PauseTiming();
    HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
    state.ResumeTiming();
    const auto levels = index.levels_for_batch(42, ns.size());
    for (size_t i = 0; i < ns.size(); ++i)
      benchmark::DoNotOptimize(index.add_at_level(ns[i].id, FilterBitset(ns[i].bitset), ns[i].vector, 64, levels[i]));
  }
  state.SetItemsProcessed(state.iterations() * ns.size());
}
BENCHMARK(BM_BatchIndexAddAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

void batch_run(benchmark::State& state, bool dir_mode, InsertMode mode) {
  const auto ns = nodes(batch_count(), true);
  BatchInsertOptions o;
  o.insert_mode = mode;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<DirEngine> d;
    std::shared_ptr<StorageEngine> e;
    if (dir_mode) {
      d = std::make_unique<DirEngine>();
      e = d->e;
    } else {
      e = memory_engine();
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(e->batch_insert_with_opts(ns, o));
    state.PauseTiming();
    e.reset();
    d.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * ns.size());
}
void BM_BatchMemoryIndexed(benchmark::State& s) { batch_run(s, false, InsertMode::kIncremental); }
void BM_BatchMemoryRebuild(benchmark::State& s) { batch_run(s, false, InsertMode::kRebuild); }
void BM_BatchDirIndexed(benchmark::State& s) { batch_run(s, true, InsertMode::kIncremental); }
void BM_BatchDirRebuild(benchmark::State& s) { batch_run(s, true, InsertMode::kRebuild); }
BENCHMARK(BM_BatchMemoryIndexed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BatchMemoryRebuild)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BatchDirIndexed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BatchDirRebuild)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- Directory mode, single puts ---

void BM_DirLogAppendAlone(benchmark::State& state) {
  const bool vec = state.range(0) != 0;
  const auto ns = nodes(bench::sized<size_t>(500, 50), vec);
  for (auto _ : state) {
    state.PauseTiming();
    DirEngine d;
    HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
    state.ResumeTiming();
    for (const EngineNode& n : ns) {
      benchmark::DoNotOptimize(wal::append_record(*d.e->wal, WalRecord{WalInsert{n}}));
      if (vec) benchmark::DoNotOptimize(index.add(n.id, FilterBitset(n.bitset), n.vector, 64));
    }
  }
  state.SetItemsProcessed(state.iterations() * ns.size());
}
BENCHMARK(BM_DirLogAppendAlone)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DirInsert(benchmark::State& state) {
  const bool vec = state.range(0) != 0;
  const auto ns = nodes(bench::sized<size_t>(500, 50), vec);
  for (auto _ : state) {
    state.PauseTiming();
    DirEngine d;
    state.ResumeTiming();
    for (const EngineNode& n : ns) benchmark::DoNotOptimize(d.e->insert(n));
  }
  state.SetItemsProcessed(state.iterations() * ns.size());
}
BENCHMARK(BM_DirInsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// --- Delete ---

void BM_Delete(benchmark::State& state) {
  const size_t stored = bench::smoke() ? std::min<size_t>(state.range(0), 2000) : state.range(0);
  auto e = memory_engine();
  const auto ns = nodes(stored, false);
  BatchInsertOptions o;
  o.skip_existing_check = true;
  (void)e->batch_insert_with_opts(ns, o);
  size_t next = 0;
  for (auto _ : state) {
    if (next == ns.size()) {
      state.PauseTiming();
      (void)e->batch_insert_with_opts(ns, o);
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(e->delete_node(ns[next++].id, "bench"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Delete)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
