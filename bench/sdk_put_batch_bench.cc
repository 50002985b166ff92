// put_batch: cost per record against the size of the store, in memory mode
// and directory mode (the durable test backend):
//  - calls of 1,000 records into stores of 10,000 and 100,000 records filled
//    the same way beforehand, without and with the 384-dim vector; counters
//    split a call's time into its stages (earlier-state reads and record
//    building, the engine's batch insert, scalar entries and version
//    history, the batched index change);
//  - the engine's batch insert of the same nodes alone, beside it;
//  - the older behaviour (full derived, text and sparse rebuilds after
//    every call) at both sizes.
// Records have the peers' shape: a 384-dim vector, 5 metadata fields, a
// 200-byte payload. BM_PeerIngest stores the records of a file written by
// bench/sdk_put_batch_peers.py (ZV_PUT_BATCH_RECORDS) into an empty store in
// calls of 1,000, for the comparison with chromadb and lancedb.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "bench/zipf_docs.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/record/node_key.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/put_batch.h"
#include "src/storage/batch_insert.h"

#include <tbb/global_control.h>

namespace zv {
namespace {

constexpr size_t kDims = 384;

size_t call_size() { return bench::sized<size_t>(1000, 100); }

// Record i of the benchmark, the same in every run.
MemoryInput bench_input(size_t i, bool with_vector) {
  static bench::ZipfDocs* docs = new bench::ZipfDocs();
  MemoryInput in;
  in.ns = "bench";
  in.key = "r" + std::to_string(i);
  std::string payload = docs->next(40);
  payload.resize(200, ' ');
  in.payload = std::move(payload);
  in.metadata["category"] = FieldValue::string("c" + std::to_string(i % 20));
  in.metadata["rank"] = FieldValue::integer(static_cast<int64_t>(i % 1000));
  in.metadata["score"] = FieldValue::floating(static_cast<double>(i % 97) / 97.0);
  in.metadata["flag"] = FieldValue::boolean(i % 2 == 0);
  in.metadata["source"] = FieldValue::string(i % 3 == 0 ? "web" : "mail");
  if (with_vector) {
    std::mt19937 rng(static_cast<uint32_t>(i) * 2654435761u + 7);
    std::normal_distribution<float> g;
    std::vector<float> v(kDims);
    for (float& x : v) x = g(rng);
    in.vector = std::move(v);
  }
  return in;
}

std::vector<MemoryInput> bench_inputs(size_t from, size_t count, bool with_vector) {
  std::vector<MemoryInput> out;
  out.reserve(count);
  for (size_t i = from; i < from + count; ++i) out.push_back(bench_input(i, with_vector));
  return out;
}

struct Store {
  std::unique_ptr<bench::ScratchDir> dir;
  std::optional<EmbeddedDb> db;
  size_t next = 0;  // the next record number
};

ZolvaResult<EmbeddedDb> open_store(const std::string& path, bool memory) {
  Config c;
  c.storage_path = path;
  c.backend = memory ? BackendKind::kInMemory : BackendKind::kMorva;
  EngineOpenSeams seams;
  seams.factories = testing::durable_factory_table();
  return EmbeddedDb::open_with_config(c, seams);
}

// One store per (mode, size, vector), filled once and shared by the
// variants (each adds a few calls; the counters report the size reached).
Store* store(bool memory, size_t size, bool with_vector) {
  static std::map<std::tuple<bool, size_t, bool>, std::unique_ptr<Store>> stores;
  auto& s = stores[{memory, size, with_vector}];
  if (s) return s.get();
  s = std::make_unique<Store>();
  s->dir = std::make_unique<bench::ScratchDir>("zv_put_batch_bench_");
  auto db = open_store(s->dir->path, memory);
  if (!db.ok()) {
    std::fprintf(stderr, "open: %s\n", db.error().message().c_str());
    std::abort();
  }
  s->db.emplace(std::move(db).value());
  for (size_t at = 0; at < size; at += 1000) {
    auto r = s->db->put_batch(bench_inputs(at, std::min<size_t>(1000, size - at), with_vector));
    if (!r.ok()) {
      std::fprintf(stderr, "fill: %s\n", r.error().message().c_str());
      std::abort();
    }
  }
  s->next = size;
  return s.get();
}

enum Variant { kAsBuilt = 0, kFullRebuilds = 1, kEngineAlone = 2 };

// Args: memory (1) or directory (0) mode, store size, vector (0/1), variant.
void BM_PutBatch(benchmark::State& state) {
  const bool memory = state.range(0) == 1;
  const size_t size = static_cast<size_t>(state.range(1));
  const bool with_vector = state.range(2) == 1;
  const auto variant = static_cast<Variant>(state.range(3));
  Store* s = store(memory, size, with_vector);
  auto engine = s->db->engine().value();
  PutBatchTimings timings;
  PutBatchSeams seams;
  seams.timings = &timings;
  seams.force_full_rebuilds = variant == kFullRebuilds;
  const size_t n = call_size();
  uint64_t calls = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<MemoryInput> in = bench_inputs(s->next, n, with_vector);
    std::vector<EngineNode> nodes;
    if (variant == kEngineAlone) {
      const uint64_t now = 1;
      for (MemoryInput& m : in) {
        MemoryRecord r;
        r.ns = m.ns;
        r.key = m.key;
        r.payload = m.payload;
        r.metadata = m.metadata;
        r.vector = m.vector;
        r.created_at_ms = r.updated_at_ms = r.valid_at_ms = now;
        r.version = 1;
        r.node_id = record_node_id(r.ns, r.key);
        nodes.push_back(r.into_node());
      }
    }
    s->next += n;
    state.ResumeTiming();
    if (variant == kEngineAlone) {
      BatchInsertOptions opts;
      opts.skip_existing_check = true;
      if (!engine->batch_insert_with_opts(nodes, opts).ok()) state.SkipWithError("batch insert failed");
    } else {
      auto r = put_batch_with_seams(*s->db, std::move(in), seams);
      if (!r.ok()) state.SkipWithError(r.error().message().c_str());
    }
    ++calls;
  }
  const double per_call = static_cast<double>(calls * n);
  state.SetItemsProcessed(static_cast<int64_t>(calls * n));
  state.counters["store_end"] = static_cast<double>(s->next);
  if (variant != kEngineAlone) {
    state.counters["prepare_us_per_rec"] = timings.prepare_ns / 1e3 / per_call;
    state.counters["insert_us_per_rec"] = timings.insert_ns / 1e3 / per_call;
    state.counters["history_us_per_rec"] = timings.history_ns / 1e3 / per_call;
    state.counters["index_us_per_rec"] = timings.index_ns / 1e3 / per_call;
    state.counters["rebuild_us_per_rec"] = timings.rebuild_ns / 1e3 / per_call;
  }
}

void put_batch_args(benchmark::internal::Benchmark* b) {
  const int64_t small = bench::sized<int64_t>(10000, 300);
  const int64_t large = bench::sized<int64_t>(100000, 1500);
  for (int64_t vector : {0, 1}) {
    for (int64_t memory : {1, 0}) {
      for (int64_t size : {small, large}) {
        for (int64_t variant : {kAsBuilt, kEngineAlone, kFullRebuilds}) {
          b->Args({memory, size, vector, variant});
        }
      }
    }
  }
  b->ArgNames({"memory", "store", "vector", "variant"});
  b->Iterations(bench::sized<int64_t>(3, 1));
  b->Unit(benchmark::kMillisecond);
  b->UseRealTime();
}

BENCHMARK(BM_PutBatch)->Apply(put_batch_args);

// --- The peers' records ---

// The file's records: per record a line "key<TAB>payload<TAB>category<TAB>
// rank<TAB>score<TAB>flag<TAB>source" then a line of 384 floats.
std::vector<MemoryInput> peer_records(const char* path) {
  std::vector<MemoryInput> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    size_t at = 0;
    for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
      f.push_back(line.substr(at, tab - at));
    }
    f.push_back(line.substr(at));
    if (f.size() != 7) break;
    MemoryInput m;
    m.ns = "bench";
    m.key = f[0];
    m.payload = f[1];
    m.metadata["category"] = FieldValue::string(f[2]);
    m.metadata["rank"] = FieldValue::integer(std::stoll(f[3]));
    m.metadata["score"] = FieldValue::floating(std::stod(f[4]));
    m.metadata["flag"] = FieldValue::boolean(f[5] == "1");
    m.metadata["source"] = FieldValue::string(f[6]);
    std::vector<float> v(kDims);
    for (float& x : v) in >> x;
    std::getline(in, line);
    m.vector = std::move(v);
    out.push_back(std::move(m));
  }
  return out;
}

// Args: memory (1) or directory (0) mode.
void BM_PeerIngest(benchmark::State& state) {
  // The peers' runs use one thread; so does the engine's data-parallel pool.
  static std::unique_ptr<tbb::global_control> one_thread;
  if (const char* t = std::getenv("ZV_BENCH_THREADS"); t && !one_thread) {
    one_thread = std::make_unique<tbb::global_control>(
        tbb::global_control::max_allowed_parallelism, std::max(1, std::atoi(t)));
  }
  const char* path = std::getenv("ZV_PUT_BATCH_RECORDS");
  std::vector<MemoryInput> all =
      path ? peer_records(path) : bench_inputs(0, bench::sized<size_t>(10000, 500), true);
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<bench::ScratchDir>("zv_put_batch_peer_");
    auto db = open_store(dir->path, state.range(0) == 1);
    if (!db.ok()) {
      state.SkipWithError(db.error().message().c_str());
      break;
    }
    state.ResumeTiming();
    for (size_t at = 0; at < all.size(); at += 1000) {
      std::vector<MemoryInput> call(all.begin() + static_cast<std::ptrdiff_t>(at),
                                    all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), at + 1000)));
      auto r = db->put_batch(std::move(call));
      if (!r.ok()) state.SkipWithError(r.error().message().c_str());
    }
    state.PauseTiming();
    (void)db->close();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * all.size()));
}
BENCHMARK(BM_PeerIngest)->Arg(1)->Arg(0)->ArgName("memory")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace zv

BENCHMARK_MAIN();
