// Derived-index hot paths: the namespace and payload lookups with limit 100
// over 100,000 records in an in-memory backend (per call), the put
// operations of one record of ten metadata fields, and the full rebuilds of
// the derived and sparse indexes over 100,000 records of ten fields and 20
// sparse dimensions beside writing the same final batch alone.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "platform/clock.h"
#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/text/derived_index.h"
#include "src/text/derived_lookup.h"
#include "src/text/index_rebuild.h"
#include "src/text/sparse_index.h"

namespace zv::text {
namespace {

MemoryRecord ten_field_record(size_t i) {
  MemoryRecord r;
  r.ns = "agent/memories";
  r.key = "conversation-" + std::to_string(i);
  r.node_id = record_node_id(r.ns, r.key);
  r.metadata = {
      {"topic", FieldValue::string(i % 2 ? "travel plans" : "work")},
      {"source", FieldValue::string("chat")},
      {"user", FieldValue::string("u-" + std::to_string(i % 100))},
      {"turn", FieldValue::integer(static_cast<int64_t>(i % 50))},
      {"score", FieldValue::floating(0.8125)},
      {"pinned", FieldValue::boolean(i % 7 == 0)},
      {"seen_at", FieldValue::date_time(*DateTime::from_civil(2024, 5, 1, 12, 0, 0, 250'000'000))},
      {"tags", FieldValue::list_string({"flight", "hotel", "budget"})},
      {"refs", FieldValue::list_int({3, 17, 99})},
      {"lang", FieldValue::string("en")},
  };
  return r;
}

struct Db {
  InMemoryBackend backend;
  CounterCell scans;
};

Db* db() {
  static Db* d = [] {
    auto* d = new Db;
    const size_t n = bench::sized<size_t>(100000, 2000);
    std::vector<BatchOp> batch;
    for (size_t i = 0; i < n; ++i) {
      auto ops = derived_index_put_ops(ten_field_record(i));
      for (auto& op : *ops) batch.push_back(std::move(op));
      if (batch.size() > 50000) {
        (void)d->backend.write_batch(std::move(batch));
        batch.clear();
      }
    }
    (void)d->backend.write_batch(std::move(batch));
    return d;
  }();
  return d;
}

void BM_NamespaceIndexIds(benchmark::State& state) {
  Db* d = db();
  for (auto _ : state) {
    auto r = namespace_index_ids(d->backend, "agent/memories", 0, 100, &d->scans);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_NamespaceIndexIds)->Unit(benchmark::kMicrosecond);

void BM_PayloadIndexIds(benchmark::State& state) {
  Db* d = db();
  const FieldValue source = FieldValue::string("chat");  // every record
  for (auto _ : state) {
    auto r = payload_index_ids(d->backend, "agent/memories", "source", source, 0, 100, &d->scans);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_PayloadIndexIds)->Unit(benchmark::kMicrosecond);

void BM_DerivedIndexPutOps10Fields(benchmark::State& state) {
  const MemoryRecord r = ten_field_record(42);
  for (auto _ : state) {
    auto ops = derived_index_put_ops(r);
    benchmark::DoNotOptimize(ops);
  }
}
BENCHMARK(BM_DerivedIndexPutOps10Fields);

// ---- Rebuilds ------------------------------------------------------------

struct RebuildInput {
  std::vector<EngineNode> nodes;
  std::vector<BatchOp> derived_batch;  // the final batch of each rebuild,
  std::vector<BatchOp> sparse_batch;   // built beforehand
};

RebuildInput* rebuild_input() {
  static RebuildInput* in = [] {
    auto* in = new RebuildInput;
    const size_t n = bench::sized<size_t>(100000, 2000);
    for (size_t i = 0; i < n; ++i) {
      MemoryRecord r = ten_field_record(i);
      SparseVector sv;
      for (uint32_t d = 0; d < 20; ++d) sv[static_cast<uint32_t>((i * 7 + d * 131) % 30000)] = 0.5f;
      r.sparse_vector = std::move(sv);
      auto derived = derived_index_put_ops(r);
      auto sparse = sparse_posting_put_ops(r);
      for (auto& op : *derived) in->derived_batch.push_back(std::move(op));
      for (auto& op : *sparse) in->sparse_batch.push_back(std::move(op));
      in->nodes.push_back(r.into_node());
    }
    return in;
  }();
  return in;
}

// kind 0: derived rebuild, 1: sparse rebuild, 2: derived batch alone,
// 3: sparse batch alone. Each iteration starts from an empty backend.
void BM_Rebuild(benchmark::State& state) {
  RebuildInput* in = rebuild_input();
  const int kind = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto backend = std::make_shared<InMemoryBackend>();
    BackendKvService kv(backend, false);
    std::vector<BatchOp> batch;
    if (kind == 2) batch = in->derived_batch;
    if (kind == 3) batch = in->sparse_batch;
    state.ResumeTiming();
    bool ok = true;
    switch (kind) {
      case 0: ok = rebuild_derived_index_from_nodes(*backend, kv, in->nodes, monotonic_ns()).ok(); break;
      case 1: ok = rebuild_sparse_index_from_nodes(*backend, kv, in->nodes, monotonic_ns()).ok(); break;
      default: ok = kv.kv_write_batch(std::move(batch)).ok(); break;
    }
    if (!ok) state.SkipWithError("rebuild failed");
    state.PauseTiming();
    backend.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in->nodes.size()));
}
BENCHMARK(BM_Rebuild)
    ->ArgName("derived0_sparse1_batch2_batch3")
    ->Arg(0)->Arg(2)->Arg(1)->Arg(3)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::text

BENCHMARK_MAIN();
