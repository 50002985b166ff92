// The record change and the full text rebuild against SQLite FTS5 (Python's
// sqlite3, bench/text_fts5_insert_bench.py) on the same Zipf documents in
// the same run:
//  - apply_record_change inserting records of 10, 100 and 1,000 tokens into
//    a memory-mode engine, 1 and 4 threads (records/s), beside the backend
//    batch writes of the same changes alone and FTS5 inserting the same
//    documents in one transaction;
//  - rebuild_text_index over 100,000 records of 30 tokens (records/s) beside
//    FTS5 building the same documents into an empty table, and the index
//    check at open over the same database with every index current.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "bench/zipf_docs.h"
#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/index_check.h"
#include "src/sdk/index_rebuild.h"
#include "src/sdk/record_index.h"
#include "src/storage/storage_engine.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"

namespace zv {
namespace {

MemoryRecord record(size_t i, std::string payload) {
  MemoryRecord r;
  r.ns = "bench";
  r.key = "doc-" + std::to_string(i);
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = std::move(payload);
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
  r.version = 1;
  return r;
}

std::shared_ptr<StorageEngine> memory_engine() {
  Config config;
  config.backend = BackendKind::kInMemory;
  auto e = StorageEngine::assemble(StorageEngine::memory_mode_parts(std::move(config)));
  (void)text::TextIndexState::write(*e, text::TextIndexState::create(0, 0, 0, 0, 0));
  (void)text::DerivedIndexState::write(*e, text::DerivedIndexState::create(0, 0, 0));
  (void)text::SparseIndexState::write(*e, text::SparseIndexState::create(0, 0));
  return e;
}

// FTS5's documents per second for each list of documents.
std::vector<double> fts5_rates(const std::vector<const std::vector<std::string>*>& lists) {
  const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  std::vector<std::string> paths;
  std::string cmd = std::string("\"") + ZV_BENCH_PYTHON + "\" \"" + ZV_BENCH_DIR +
                    "/text_fts5_insert_bench.py\" " + (bench::smoke() ? "1" : "3");
  for (size_t i = 0; i < lists.size(); ++i) {
    paths.push_back(dir + "/zv_record_change_docs_" + std::to_string(i) + ".txt");
    std::ofstream out(paths.back());
    for (const auto& d : *lists[i]) out << d << '\n';
    cmd += " \"" + paths.back() + "\"";
  }
  std::map<std::string, double> by_path;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char path[512];
    unsigned long long n = 0;
    double rate = 0;
    while (std::fscanf(p, "%511s %llu %lf", path, &n, &rate) == 3) by_path[path] = rate;
    pclose(p);
  }
  std::vector<double> out;
  for (const auto& path : paths) {
    out.push_back(by_path.count(path) ? by_path[path] : 0.0);
    std::remove(path.c_str());
  }
  return out;
}

// --- The record change ---

constexpr size_t kTokenSizes[] = {10, 100, 1000};

struct ChangeCorpus {
  std::vector<std::string> docs[3];  // per token size
  double fts5[3] = {0, 0, 0};
};

size_t docs_per_size(size_t tokens) {
  return bench::sized<size_t>(tokens >= 1000 ? 2000 : 20000, 200);
}

ChangeCorpus* change_corpus() {
  static ChangeCorpus* c = [] {
    auto* c = new ChangeCorpus;
    bench::ZipfDocs gen;
    std::vector<const std::vector<std::string>*> lists;
    for (size_t s = 0; s < 3; ++s) {
      for (size_t i = 0; i < docs_per_size(kTokenSizes[s]); ++i) c->docs[s].push_back(gen.next(kTokenSizes[s]));
      lists.push_back(&c->docs[s]);
    }
    std::vector<double> rates = fts5_rates(lists);
    for (size_t s = 0; s < 3; ++s) c->fts5[s] = rates[s];
    return c;
  }();
  return c;
}

// Each thread inserts its own records; the engine is new for each run
// (set by thread 0 before the loop's start barrier).
std::shared_ptr<StorageEngine> g_engine;

void BM_ApplyRecordChange(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  ChangeCorpus* c = change_corpus();
  if (state.thread_index() == 0) g_engine = memory_engine();
  // Benchmark's own barrier follows the setup of thread 0.
  const std::vector<std::string>& docs = c->docs[s];
  size_t i = static_cast<size_t>(state.thread_index());
  const size_t step = static_cast<size_t>(state.threads());
  uint64_t done = 0;
  for (auto _ : state) {
    const MemoryRecord r = record(i, docs[i % docs.size()]);
    if (!apply_record_change(*g_engine, nullptr, &r).ok()) state.SkipWithError("record change failed");
    ++done;
    i += step;
  }
  state.SetItemsProcessed(static_cast<int64_t>(done));
  if (state.thread_index() == 0) {
    state.counters["fts5_records_per_s"] = c->fts5[s];
  }
}

// The batches of the same changes, built beforehand, written alone.
class RecordingKv final : public KvService {
 public:
  ZolvaStatus kv_put(Partition, std::string_view, std::string_view) override { return {}; }
  ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) override {
    batches.push_back(ops);
    return backend.write_batch(std::move(ops));
  }
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) override {
    return backend.scan_prefix(p, prefix);
  }
  InMemoryBackend backend;
  std::vector<std::vector<BatchOp>> batches;
};

void BM_RecordChangeBatchWriteAlone(benchmark::State& state) {
  const size_t s = static_cast<size_t>(state.range(0));
  ChangeCorpus* c = change_corpus();
  RecordingKv rec;
  text::TextStatsCaches caches;
  text::IndexLocks locks;
  const text::TextIndexTarget target{rec.backend, rec, caches, locks};
  for (size_t i = 0; i < c->docs[s].size(); ++i) {
    const MemoryRecord r = record(i, c->docs[s][i]);
    (void)text::apply_record_change(target, nullptr, &r);
  }
  auto backend = std::make_unique<InMemoryBackend>();
  size_t next = 0;
  uint64_t done = 0;
  for (auto _ : state) {
    if (next == rec.batches.size()) {
      state.PauseTiming();
      backend = std::make_unique<InMemoryBackend>();
      next = 0;
      state.ResumeTiming();
    }
    std::vector<BatchOp> batch = rec.batches[next++];
    (void)backend->write_batch(std::move(batch));
    ++done;
  }
  state.SetItemsProcessed(static_cast<int64_t>(done));
}

// --- The full rebuild and the check at open ---

struct RebuildDb {
  std::vector<std::string> docs;
  std::optional<EmbeddedDb> db;
  double fts5 = 0;
  double rebuild_seconds = 0;
};

RebuildDb* rebuild_db() {
  static RebuildDb* d = [] {
    auto* d = new RebuildDb;
    bench::ZipfDocs gen;
    const size_t n = bench::sized<size_t>(100000, 2000);
    for (size_t i = 0; i < n; ++i) d->docs.push_back(gen.next(30));
    d->fts5 = fts5_rates({&d->docs})[0];
    Config config;
    config.backend = BackendKind::kInMemory;
    auto db = EmbeddedDb::open_with_config(config);
    if (!db.ok()) std::abort();
    d->db.emplace(std::move(db).value());
    auto engine = d->db->engine().value();
    std::vector<EngineNode> chunk;
    for (size_t i = 0; i < n; ++i) {
      chunk.push_back(record(i, d->docs[i]).into_node());
      if (chunk.size() == 10000 || i + 1 == n) {
        BatchInsertOptions o;
        o.skip_wal = true;
        if (!engine->batch_insert_with_opts(chunk, o).ok()) std::abort();
        chunk.clear();
      }
    }
    if (!rebuild_derived_index(*d->db).ok() || !rebuild_sparse_index(*d->db).ok()) std::abort();
    return d;
  }();
  return d;
}

void BM_RebuildTextIndex(benchmark::State& state) {
  RebuildDb* d = rebuild_db();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!rebuild_text_index(*d->db).ok()) state.SkipWithError("rebuild failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  d->rebuild_seconds = seconds / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * d->docs.size()));
  state.counters["fts5_records_per_s"] = d->fts5;
  state.counters["ratio_to_fts5"] =
      d->fts5 > 0 ? static_cast<double>(d->docs.size()) / d->rebuild_seconds / d->fts5 : 0;
}

void BM_IndexCheckAtOpenAllCurrent(benchmark::State& state) {
  RebuildDb* d = rebuild_db();
  if (d->rebuild_seconds == 0) {
    const auto start = std::chrono::steady_clock::now();
    (void)rebuild_text_index(*d->db);
    d->rebuild_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const uint64_t repairs = OperationalCounters::global().text_index_repairs.read();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!ensure_derived_indexes(*d->db).ok()) state.SkipWithError("check failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (OperationalCounters::global().text_index_repairs.read() != repairs) {
    state.SkipWithError("the check rebuilt a current index");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * d->docs.size()));
  state.counters["share_of_rebuild"] =
      seconds / static_cast<double>(state.iterations()) / d->rebuild_seconds;
}

BENCHMARK(BM_ApplyRecordChange)->ArgName("tokens_idx")->DenseRange(0, 2)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_RecordChangeBatchWriteAlone)->ArgName("tokens_idx")->DenseRange(0, 2)->UseRealTime();
BENCHMARK(BM_RebuildTextIndex)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexCheckAtOpenAllCurrent)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace zv

BENCHMARK_MAIN();
