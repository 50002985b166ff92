// Encode and decode of a typical record node: a 384-dimension f32 vector, ten
// metadata fields and a 200-byte payload, as the log record that carries the
// whole node and as the node record (fields and edges) kept in the backend.
#include <benchmark/benchmark.h>

#include "src/record/memory_record.h"
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/record/wal_record.h"

namespace zv {
namespace {

EngineNode typical_node() {
  MemoryRecord r;
  r.ns = "agent/memories";
  r.key = "conversation-2024-05-01-0042";
  r.payload = std::string(200, 'p');
  r.node_id = record_node_id(r.ns, r.key);
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1714564800000;
  r.version = 3;
  std::vector<float> v(384);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 17) * 0.0625f - 0.5f;
  r.vector = std::move(v);
  r.metadata = {
      {"topic", FieldValue::string("travel plans")},
      {"source", FieldValue::string("chat")},
      {"user", FieldValue::string("u-1029")},
      {"turn", FieldValue::integer(42)},
      {"score", FieldValue::floating(0.8125)},
      {"pinned", FieldValue::boolean(false)},
      {"seen_at", FieldValue::date_time(*DateTime::from_civil(2024, 5, 1, 12, 0, 0, 250'000'000))},
      {"tags", FieldValue::list_string({"flight", "hotel", "budget"})},
      {"refs", FieldValue::list_int({3, 17, 99})},
      {"weights", FieldValue::list_float({0.5, 0.25})},
  };
  return r.into_node();
}

void BM_EncodeNode(benchmark::State& state) {
  const EngineNode node = typical_node();
  std::string out;
  for (auto _ : state) {
    out.clear();
    BinaryWriter w(&out);
    encode_wal_insert(w, node);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
  state.counters["bytes_per_node"] = static_cast<double>(out.size());
}
BENCHMARK(BM_EncodeNode);

void BM_DecodeNode(benchmark::State& state) {
  const std::string bytes = encode_wal_record(WalInsert{typical_node()});
  for (auto _ : state) {
    auto r = decode_wal_record(bytes);
    if (!r.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeNode);

void BM_EncodeNodeMetadata(benchmark::State& state) {
  const EngineNode node = typical_node();
  const NodeMetadata m{node.fields, node.edges, 1, std::nullopt};
  std::string out;
  for (auto _ : state) {
    out.clear();
    encode_node_metadata(m, &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_EncodeNodeMetadata);

void BM_DecodeNodeMetadata(benchmark::State& state) {
  const EngineNode node = typical_node();
  const std::string bytes = encode_node_metadata(NodeMetadata{node.fields, node.edges, 1, {}});
  for (auto _ : state) {
    auto m = decode_node_metadata(bytes);
    if (!m.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(m);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeNodeMetadata);

}  // namespace
}  // namespace zv

BENCHMARK_MAIN();
