// The SDK's record operations against the raw engine, same run and records
// (a 384-dim vector, 10 metadata fields, a 200-byte payload of Zipf words):
//  - EmbeddedDb::put of new records beside StorageEngine::insert of the
//    nodes put would build, memory and directory mode (directory: the
//    durable test backend), audit log off and on, with and without vectors,
//    1 and 4 threads;
//  - EmbeddedDb::get beside StorageEngine::get of the same ids;
//  - put updates of stored records (old postings removed, new ones added);
//  - the parts of a put alone, to break its cost down: the existing-record
//    read, the record change, the version history, the shred record and the
//    audit line.
// Records per second are the items/s column; per-record times the Time
// column. Under ZV_BENCH_SMOKE=1 a few hundred records per database.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "bench/zipf_docs.h"
#include "platform/fs.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/record/node_key.h"
#include "src/record/version_history.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/record_index.h"
#include "src/storage/shred_record.h"

namespace zv {
namespace {

constexpr size_t kDims = 384;
constexpr size_t kTemplates = 256;  // distinct records per thread, reused under new keys
enum Mode : int64_t { kMemory = 0, kDirectory = 1 };

const size_t kWriteIterations = bench::sized<size_t>(5000, 100);
const size_t kPreloaded = bench::sized<size_t>(10000, 300);
const size_t kReadIterations = bench::sized<size_t>(100000, 300);

// Write requests of one thread: varied payloads, vectors and metadata.
std::vector<MemoryInput> make_templates(uint64_t seed, bool vectors) {
  bench::ZipfDocs words(30000, seed);
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<MemoryInput> out(kTemplates);
  for (size_t i = 0; i < kTemplates; ++i) {
    MemoryInput& in = out[i];
    in.ns = "bench";
    in.payload = words.next(40);
    if (in.payload.size() > 200) in.payload.resize(in.payload.rfind(' ', 200));
    for (int f = 0; f < 10; ++f) {
      const std::string name = "field" + std::to_string(f);
      if (f % 2) {
        in.metadata.emplace(name, FieldValue::integer(static_cast<int64_t>(rng() % 1000)));
      } else {
        in.metadata.emplace(name, FieldValue::string(bench::vocab_word(rng() % 50)));
      }
    }
    if (vectors) {
      std::vector<float> v(kDims);
      for (float& x : v) x = u(rng);
      in.vector = std::move(v);
    }
  }
  return out;
}

// The record and node put would build for an input (new record, no TTL, no
// provenance), for the raw-engine rows.
EngineNode node_for(const MemoryInput& in, uint64_t now) {
  MemoryRecord r;
  r.ns = in.ns;
  r.key = in.key;
  r.payload = in.payload;
  r.metadata = in.metadata;
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = now;
  r.version = 1;
  r.node_id = record_node_id(r.ns, r.key);
  r.vector = in.vector;
  return r.into_node();
}

// One open database per benchmark run, shared by its threads.
struct BenchDb {
  std::unique_ptr<bench::ScratchDir> dir;
  std::optional<EmbeddedDb> db;
  std::shared_ptr<StorageEngine> engine;
  std::vector<std::vector<MemoryInput>> templates;  // per thread
  std::vector<std::string> keys;                    // preloaded keys
  std::atomic<uint64_t> run{0};
};
BenchDb* g_db = nullptr;

// Args: mode, audit (0/1), vectors (0/1), preload (0/1).
void open_db(const benchmark::State& state) {
  g_db = new BenchDb;
  Config config;
  EngineOpenSeams seams;
  if (state.range(0) == kDirectory) {
    g_db->dir = std::make_unique<bench::ScratchDir>("zv_sdk_records_bench_");
    config.storage_path = fs::join(g_db->dir->path, "db");
    config.backend = BackendKind::kMorva;
    seams.factories = testing::durable_factory_table();
  } else {
    config.backend = BackendKind::kInMemory;
  }
  if (state.range(1)) {
    if (!g_db->dir) g_db->dir = std::make_unique<bench::ScratchDir>("zv_sdk_records_bench_");
    config.audit_log_path = fs::join(g_db->dir->path, "audit.log");
    config.audit_max_bytes = uint64_t{1} << 40;
  }
  auto db = EmbeddedDb::open_with_config(config, seams);
  if (!db.ok()) std::abort();
  g_db->db.emplace(std::move(db).value());
  g_db->engine = g_db->db->engine().value();
  for (int t = 0; t < state.threads(); ++t) {
    g_db->templates.push_back(make_templates(1000 + t, state.range(2) != 0));
  }
  if (state.range(3)) {
    for (size_t i = 0; i < kPreloaded; ++i) {
      MemoryInput in = g_db->templates[0][i % kTemplates];
      in.key = "pre-" + std::to_string(i);
      g_db->keys.push_back(in.key);
      if (!g_db->db->put(std::move(in)).ok()) std::abort();
    }
  }
}

void close_db(const benchmark::State&) {
  g_db->engine.reset();
  (void)g_db->db->close();
  delete g_db;
  g_db = nullptr;
}

std::string fresh_key(const benchmark::State& state, uint64_t run, size_t i) {
  return "t" + std::to_string(state.thread_index()) + "-" + std::to_string(run) + "-" +
         std::to_string(i);
}

void BM_SdkPutNew(benchmark::State& state) {
  const auto& templates = g_db->templates[state.thread_index()];
  const uint64_t run = g_db->run++;
  size_t i = 0;
  for (auto _ : state) {
    MemoryInput in = templates[i % kTemplates];
    in.key = fresh_key(state, run, i++);
    if (!g_db->db->put(std::move(in)).ok()) state.SkipWithError("put failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EngineInsertNew(benchmark::State& state) {
  const auto& templates = g_db->templates[state.thread_index()];
  const uint64_t run = g_db->run++;
  std::vector<EngineNode> nodes;
  for (const MemoryInput& in : templates) nodes.push_back(node_for(in, 1));
  size_t i = 0;
  for (auto _ : state) {
    // The copy stands in for building the node; the id and key make it new.
    EngineNode node = nodes[i % kTemplates];
    const std::string key = fresh_key(state, run, i++);
    node.id = record_node_id("bench", key);
    node.set_field(std::string(kZolvaKey), FieldValue::string(key));
    if (!g_db->engine->insert(node).ok()) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SdkPutUpdate(benchmark::State& state) {
  const auto& templates = g_db->templates[state.thread_index()];
  const auto& keys = g_db->keys;
  const size_t threads = static_cast<size_t>(state.threads());
  size_t i = 0;
  for (auto _ : state) {
    // Each thread updates its own keys; the payload differs from the stored
    // one, so old postings go and new ones come.
    const size_t k = (i * threads + static_cast<size_t>(state.thread_index())) % keys.size();
    MemoryInput in = templates[(i * 7 + 1) % kTemplates];
    in.key = keys[k];
    ++i;
    if (!g_db->db->put(std::move(in)).ok()) state.SkipWithError("put failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SdkGet(benchmark::State& state) {
  const auto& keys = g_db->keys;
  std::mt19937_64 rng(state.thread_index() + 1);
  for (auto _ : state) {
    auto r = g_db->db->get("bench", keys[rng() % keys.size()]);
    if (!r.ok() || !r->has_value()) state.SkipWithError("get failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EngineGet(benchmark::State& state) {
  std::vector<NodeId> ids;
  for (const std::string& k : g_db->keys) ids.push_back(record_node_id("bench", k));
  std::mt19937_64 rng(state.thread_index() + 1);
  for (auto _ : state) {
    auto r = g_db->engine->get(ids[rng() % ids.size()]);
    if (!r.ok() || !r->has_value()) state.SkipWithError("get failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}

// The parts of a put of a new record, each alone (one thread): 0 the
// existing-record read (a miss), 1 the record change, 2 the version
// history, 3 the shred record, 4 the audit line.
void BM_PutPart(benchmark::State& state) {
  const auto& templates = g_db->templates[0];
  const uint64_t run = g_db->run++;
  StorageEngine& engine = *g_db->engine;
  const int64_t part = state.range(4);
  size_t i = 0;
  for (auto _ : state) {
    MemoryRecord r;
    const MemoryInput& in = templates[i % kTemplates];
    r.ns = in.ns;
    r.key = fresh_key(state, run, i++);
    r.payload = in.payload;
    r.metadata = in.metadata;
    r.node_id = record_node_id(r.ns, r.key);
    r.version = 1;
    bool ok = true;
    switch (part) {
      case 0: ok = engine.get(r.node_id).ok(); break;
      case 1: {
        text::RecordWriteGuard guard(engine.index_locks, r.node_id);
        ok = apply_record_change(engine, nullptr, &r).ok();
        break;
      }
      case 2: ok = record_version(engine, r, g_db->db->config().version_history_limit).ok(); break;
      case 3: ok = shred_record::put(r.node_id, r.metadata, *engine.backend).ok(); break;
      case 4:
        g_db->db->record_audit(AuditRecord::create("put", r.ns, r.key, "ok", std::nullopt));
        break;
    }
    if (!ok) state.SkipWithError("part failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void write_args(benchmark::internal::Benchmark* b, bool audit_rows, bool preload) {
  for (int64_t mode : {kMemory, kDirectory}) {
    for (int64_t audit : audit_rows ? std::vector<int64_t>{0, 1} : std::vector<int64_t>{0}) {
      for (int64_t vectors : {1, 0}) b->Args({mode, audit, vectors, preload ? 1 : 0});
    }
  }
  b->ArgNames({"dir", "audit", "vec", "pre"});
}

#define ZV_SDK_BENCH(fn, audit_rows, preload, iterations)                               \
  BENCHMARK(fn)                                                                        \
      ->Apply([](benchmark::internal::Benchmark* b) { write_args(b, audit_rows, preload); }) \
      ->Setup(open_db)                                                                 \
      ->Teardown(close_db)                                                             \
      ->Iterations(iterations)                                                         \
      ->Threads(1)                                                                     \
      ->Threads(4)                                                                     \
      ->UseRealTime()

ZV_SDK_BENCH(BM_SdkPutNew, true, false, kWriteIterations);
ZV_SDK_BENCH(BM_EngineInsertNew, false, false, kWriteIterations);
ZV_SDK_BENCH(BM_SdkPutUpdate, true, true, kWriteIterations);
ZV_SDK_BENCH(BM_SdkGet, false, true, kReadIterations);
ZV_SDK_BENCH(BM_EngineGet, false, true, kReadIterations);

BENCHMARK(BM_PutPart)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (int64_t part = 0; part < 5; ++part) b->Args({kMemory, 1, 0, 0, part});
      b->ArgNames({"dir", "audit", "vec", "pre", "part"});
    })
    ->Setup(open_db)
    ->Teardown(close_db)
    ->Iterations(kWriteIterations);

}  // namespace
}  // namespace zv

BENCHMARK_MAIN();
