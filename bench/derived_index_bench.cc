// Derived-index hot paths: the namespace and payload lookups with limit 100
// over 100,000 records in an in-memory backend (per call), and the put
// operations of one record of ten metadata fields.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/node_key.h"
#include "src/text/derived_index.h"
#include "src/text/derived_lookup.h"

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
  std::atomic<uint64_t> scans{0};
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

}  // namespace
}  // namespace zv::text

BENCHMARK_MAIN();
