// Opening a database of 100,000 nodes with 128-dim vectors (2,000 under a
// smoke run), over the durable test backend:
//   - with a valid index file, copied into memory and mapped;
//   - without one (the index rebuilt from vector store tier 0);
//   - with every node still in the log (100,000 Insert records replayed);
//   - beside the replay: the same vectors added to a fresh index alone, the
//     bar the replay is held to (at most 1.3x).
// Each open's step times (milliseconds, from the open's debug event) are
// reported as counters of the last iteration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/index/hnsw_index.h"
#include "src/storage/batch_insert.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/engine_open.h"
#include "src/storage/storage_engine.h"
#include "src/wal/wal_records.h"

namespace {

using namespace zv;

constexpr size_t kDim = 128;

// ZV_OPEN_BENCH_NODES overrides the full size (a loaded machine).
size_t node_count() {
  if (const char* n = std::getenv("ZV_OPEN_BENCH_NODES"); n && !bench::smoke())
    return static_cast<size_t>(std::strtoull(n, nullptr, 10));
  return bench::sized<size_t>(100000, 2000);
}

EngineNode bench_node(NodeId id, std::mt19937_64& rng) {
  EngineNode n = EngineNode::create(id);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(kDim);
  for (float& x : v) x = d(rng);
  n.vector = VectorRepr::f32(std::move(v));
  n.set_field("kind", FieldValue::string("note"));
  n.set_field("count", FieldValue::integer(static_cast<int64_t>(id % 1000)));
  return n;
}

const std::vector<EngineNode>& nodes() {
  static const std::vector<EngineNode> all = [] {
    std::mt19937_64 rng(42);
    std::vector<EngineNode> out;
    for (size_t i = 0; i < node_count(); ++i) out.push_back(bench_node(make_node_id(rng(), rng()), rng));
    return out;
  }();
  return all;
}

Config bench_config() {
  Config c;
  c.backend = BackendKind::kMorva;
  c.wal_shards = 4;
  c.wal_sync_mode = 0;
  return c;
}

EngineOpenSeams seams() {
  EngineOpenSeams s;
  s.factories = testing::durable_factory_table();
  return s;
}

std::string bench_root() {
  static const std::string root = [] {
    std::string r = fs::join(fs::absolute("."), "storage_open_bench.tmp");
    (void)fs::remove_dir_all(r);
    (void)fs::create_dir_all(r);
    return r;
  }();
  return root;
}

void copy_tree(const std::string& from, const std::string& to) {
  (void)fs::remove_dir_all(to);
  (void)fs::create_dir_all(to);
  const auto names = fs::list_dir(from);
  if (!names.ok()) std::abort();
  for (const std::string& name : names.value()) {
    const std::string src = fs::join(from, name);
    if (fs::is_dir(src)) {
      copy_tree(src, fs::join(to, name));
    } else {
      (void)fs::write_file(fs::join(to, name), fs::read_file(src).value());
    }
  }
}

// A database whose nodes are all in the log only (nothing flushed).
const std::string& logged_db() {
  static const std::string path = [] {
    const std::string p = fs::join(bench_root(), "logged");
    (void)fs::create_dir_all(fs::join(p, kDataDirName));
    auto log = wal::ShardedWal::open(fs::join(fs::join(p, kDataDirName), kWalFileName), 4,
                                     wal::sharded_wal_options(bench_config()));
    std::vector<WalRecord> batch;
    batch.reserve(nodes().size());
    for (const EngineNode& n : nodes()) batch.emplace_back(std::in_place_index<0>, WalInsert{n});
    if (!log.ok() || !wal::append_records(**log, batch).ok()) std::abort();
    return p;
  }();
  return path;
}

// The same nodes stored as a flush leaves them: backend snapshot, tiers,
// index file and no log records. Built with batch inserts that leave the
// index for one parallel rebuild (replaying 100,000 records here would cost
// as much as the benchmark it prepares).
const std::string& flushed_db() {
  static const std::string path = [] {
    const std::string p = fs::join(bench_root(), "flushed");
    auto e = StorageEngine::open(p, bench_config(), seams());
    if (!e.ok()) std::abort();
    StorageEngine& engine = **e;
    BatchInsertOptions o;
    o.skip_existing_check = true;
    o.skip_wal = true;
    o.insert_mode = InsertMode::kRebuild;
    constexpr size_t kChunk = 10000;
    const auto& all = nodes();
    for (size_t at = 0; at < all.size(); at += kChunk) {
      const std::vector<EngineNode> chunk(all.begin() + at, all.begin() + std::min(all.size(), at + kChunk));
      if (!engine.batch_insert_with_opts(chunk, o).ok()) std::abort();
    }
    const std::string index_path = fs::join(engine.data_dir, kIndexFileName);
    if (!rebuild_index_parallel(*engine.vector_index(), engine.segments[0]->file, index_path).ok())
      std::abort();
    if (engine.vector_index()->len() != all.size()) std::abort();
    if (!engine.backend->del(Partition::kInternalMetadata, kRebuildPendingKey).ok()) std::abort();
    for (auto& seg : engine.segments) {
      if (!seg->file.store_write_offset().ok() || !seg->file.flush().ok()) std::abort();
    }
    if (!engine.vector_index()->persist(index_path).ok()) std::abort();
    if (!engine.backend->flush().ok()) std::abort();
    return p;
  }();
  return path;
}

void report_steps(benchmark::State& state, const log::CaptureSink& sink) {
  for (const log::Event& ev : sink.events()) {
    if (ev.message != kOpenStepTimesEvent) continue;
    for (const auto& [step, ms] : ev.fields) state.counters[step + "_ms"] = std::stod(ms);
  }
}

void run_open(benchmark::State& state, const std::string& source, Config config, bool drop_index) {
  const std::string work = fs::join(bench_root(), "work");
  for (auto _ : state) {
    state.PauseTiming();
    copy_tree(source, work);
    if (drop_index) (void)fs::remove_file(fs::join(fs::join(work, kDataDirName), kIndexFileName));
    log::CaptureSink sink(log::Level::kDebug);
    state.ResumeTiming();
    auto e = StorageEngine::open(work, config, seams());
    if (!e.ok()) {
      state.SkipWithError(e.error().message().c_str());
      return;
    }
    state.PauseTiming();
    if ((*e)->vector_index()->len() != nodes().size()) state.SkipWithError("wrong node count");
    report_steps(state, sink);
    e.value().reset();
    state.ResumeTiming();
  }
}

void BM_OpenWithIndexFileCopied(benchmark::State& state) {
  Config c = bench_config();
  c.index_mmap = false;
  run_open(state, flushed_db(), c, false);
}
BENCHMARK(BM_OpenWithIndexFileCopied)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_OpenWithIndexFileMapped(benchmark::State& state) {
  Config c = bench_config();
  c.index_mmap_always = true;
  run_open(state, flushed_db(), c, false);
}
BENCHMARK(BM_OpenWithIndexFileMapped)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_OpenRebuildFromStore(benchmark::State& state) {
  Config c = bench_config();
  c.index_mmap = false;
  run_open(state, flushed_db(), c, true);
}
BENCHMARK(BM_OpenRebuildFromStore)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_OpenReplayingEveryNode(benchmark::State& state) {
  Config c = bench_config();
  c.index_mmap = false;
  run_open(state, logged_db(), c, false);
}
BENCHMARK(BM_OpenReplayingEveryNode)->Unit(benchmark::kMillisecond)->Iterations(1);

// The bar of the replay: the same vectors added to a fresh index alone.
void BM_AddSameVectorsToFreshIndex(benchmark::State& state) {
  for (auto _ : state) {
    HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
    uint64_t offset = 0;
    for (const EngineNode& n : nodes()) {
      if (!index.add(n.id, FilterBitset(n.bitset), n.vector, offset += 64).ok())
        state.SkipWithError("add failed");
    }
    benchmark::DoNotOptimize(index.len());
  }
}
BENCHMARK(BM_AddSameVectorsToFreshIndex)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
BENCHMARK_MAIN();
