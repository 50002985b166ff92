// The storage engine's read paths against their parts measured alone:
//   - get of an uncached node vs backend get + metadata decode + header and
//     payload copy; a cache hit vs a shared-lock map lookup plus node copy;
//   - get_many(100) of uncached nodes per node, with record_access of its
//     first 64 ids timed apart;
//   - scan_all_nodes vs the backend's scan_all + decode + header and payload
//     copy, per node;
//   - record_access for reports of 10 to 10,000 ids.
// Nodes carry 10 metadata fields and 384-dim f32 vectors. The index holds the
// storage offsets only (no graph), which is all these reads ask of it.
#include <benchmark/benchmark.h>

#include <mutex>
#include <random>
#include <shared_mutex>

#include "bench/bench_smoke.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"
#include "src/storage/stored_node.h"
#include "src/storage/stored_payload.h"

namespace {

using namespace zv;

constexpr size_t kDim = 384;

EngineNode bench_node(NodeId id) {
  EngineNode n = EngineNode::create(id);
  std::vector<float> v(kDim);
  for (size_t i = 0; i < kDim; ++i) v[i] = 0.001f * static_cast<float>((id + i) % 997);
  n.vector = VectorRepr::f32(std::move(v));
  n.set_field("__zolva_namespace", FieldValue::string("bench"));
  n.set_field("__zolva_key", FieldValue::string("key-" + node_id_to_string(id)));
  n.set_field("kind", FieldValue::string("note"));
  n.set_field("score", FieldValue::floating(0.5 * static_cast<double>(id % 7)));
  n.set_field("count", FieldValue::integer(static_cast<int64_t>(id)));
  n.set_field("flag", FieldValue::boolean(id % 2 == 0));
  n.set_field("tags", FieldValue::list_string({"a", "b", "c"}));
  n.set_field("owner", FieldValue::string("someone@example"));
  n.set_field("source", FieldValue::string("benchmark"));
  n.set_field("priority", FieldValue::integer(3));
  return n;
}

struct Engine {
  std::shared_ptr<StorageEngine> e;
  std::vector<NodeId> ids;
  explicit Engine(size_t n) {
    Config c;
    c.backend = BackendKind::kInMemory;
    e = StorageEngine::assemble(StorageEngine::memory_mode_parts(c));
    std::mt19937_64 rng(9);
    for (size_t i = 0; i < n; ++i) {
      const NodeId id = make_node_id(rng(), rng());
      EngineNode node = bench_node(id);
      const uint64_t off = *e->segments[0]->file.append_node(node);
      (void)e->vector_index()->add(id, FilterBitset(), VectorRepr::none(), off);
      (void)e->backend->put(Partition::kDefault, node_key(id),
                            encode_node_metadata(node_metadata_of(node, 1)));
      ids.push_back(id);
    }
  }
};

Engine& point_engine() {
  static Engine e(bench::sized<size_t>(20000, 500));
  return e;
}
Engine& scan_engine() {
  static Engine e(bench::sized<size_t>(100000, 1000));
  return e;
}

void BM_GetUncached(benchmark::State& state) {
  Engine& f = point_engine();
  size_t i = 0;
  for (auto _ : state) {
    auto r = f.e->get(f.ids[i++ % f.ids.size()]);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetUncached);

void BM_Part_BackendGet(benchmark::State& state) {
  Engine& f = point_engine();
  size_t i = 0;
  for (auto _ : state) {
    auto r = f.e->backend->get(Partition::kDefault, node_key(f.ids[i++ % f.ids.size()]));
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Part_BackendGet);

void BM_Part_DecodeMetadata(benchmark::State& state) {
  Engine& f = point_engine();
  const std::string value = **f.e->backend->get(Partition::kDefault, node_key(f.ids[0]));
  for (auto _ : state) {
    auto r = decode_node_metadata(value);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Part_DecodeMetadata);

void BM_Part_HeaderPayloadCopy(benchmark::State& state) {
  Engine& f = point_engine();
  const VectorStoreSegment& seg = *f.e->segments[0];
  std::vector<uint64_t> offsets;
  for (NodeId id : f.ids) offsets.push_back(*f.e->vector_index()->storage_offset(id));
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % f.ids.size();
    std::shared_lock lock(seg.lock);
    auto h = live_header_at(seg.file, offsets[k], f.ids[k]);
    VectorRepr v = copy_payload(seg.file.bytes(), *h);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_Part_HeaderPayloadCopy);

void BM_GetCached(benchmark::State& state) {
  Engine& f = point_engine();
  const size_t n = std::min<size_t>(f.ids.size(), 1000);
  for (size_t i = 0; i < n; ++i) f.e->node_cache.put(*f.e->read_stored_node(f.ids[i]).value());
  size_t i = 0;
  for (auto _ : state) {
    auto r = f.e->get(f.ids[i++ % n]);
    benchmark::DoNotOptimize(r);
  }
  for (size_t k = 0; k < n; ++k) f.e->node_cache.remove(f.ids[k]);
}
BENCHMARK(BM_GetCached);

void BM_Part_SharedLookupCopy(benchmark::State& state) {
  Engine& f = point_engine();
  const size_t n = std::min<size_t>(f.ids.size(), 1000);
  std::shared_mutex mu;
  std::unordered_map<NodeId, EngineNode, NodeIdHash> map;
  for (size_t i = 0; i < n; ++i) map.emplace(f.ids[i], *f.e->read_stored_node(f.ids[i]).value());
  size_t i = 0;
  for (auto _ : state) {
    std::shared_lock lock(mu);
    EngineNode copy = map.find(f.ids[i++ % n])->second;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_Part_SharedLookupCopy);

void BM_GetMany100Uncached(benchmark::State& state) {
  Engine& f = point_engine();
  const size_t batch = std::min<size_t>(100, f.ids.size());
  size_t start = 0;
  for (auto _ : state) {
    std::span<const NodeId> ids(f.ids.data() + start, batch);
    start = (start + batch) % (f.ids.size() - batch + 1);
    auto r = f.e->get_many(ids);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_GetMany100Uncached);

// The record_access share of BM_GetMany100Uncached: the same batches reported
// to a warmer of their own.
void BM_RecordAccessOfGetMany100(benchmark::State& state) {
  Engine& f = point_engine();
  const size_t batch = std::min<size_t>(100, f.ids.size());
  CacheWarmer warmer;
  size_t start = 0;
  for (auto _ : state) {
    warmer.record_access(std::span<const NodeId>(f.ids.data() + start, batch));
    start = (start + batch) % (f.ids.size() - batch + 1);
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_RecordAccessOfGetMany100);

void BM_RecordAccess(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  CacheWarmer warmer;
  std::vector<NodeId> ids(n);
  uint64_t round = 0;
  for (auto _ : state) {
    // A new id set every 50 reports keeps the map from only growing counts.
    for (size_t i = 0; i < n; ++i) ids[i] = make_node_id(round / 50, i);
    ++round;
    warmer.record_access(ids);
  }
  const uint64_t paired = std::min(n, CacheWarmer::kMaxPairedIds);
  state.counters["pairs_per_report"] = static_cast<double>(paired * (paired - 1) / 2);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordAccess)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

void BM_ScanAllNodes(benchmark::State& state) {
  Engine& f = scan_engine();
  for (auto _ : state) {
    auto r = f.e->scan_all_nodes();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations() * f.ids.size());
}
BENCHMARK(BM_ScanAllNodes)->Unit(benchmark::kMillisecond);

void BM_Part_ScanParts(benchmark::State& state) {
  Engine& f = scan_engine();
  const VectorStoreSegment& seg = *f.e->segments[0];
  const std::string which = state.range(0) == 0 ? "backend" : state.range(0) == 1 ? "decode" : "copy";
  std::vector<KvPair> pairs = *f.e->backend->scan_all(Partition::kDefault);
  std::vector<std::pair<NodeId, uint64_t>> offsets;
  for (const KvPair& p : pairs) {
    const NodeId id = *node_id_from_key(p.key);
    offsets.emplace_back(id, *f.e->vector_index()->storage_offset(id));
  }
  for (auto _ : state) {
    if (state.range(0) == 0) {
      auto r = f.e->backend->scan_all(Partition::kDefault);
      benchmark::DoNotOptimize(r);
    } else if (state.range(0) == 1) {
      for (const KvPair& p : pairs) {
        auto m = decode_node_metadata(p.value);
        benchmark::DoNotOptimize(m);
      }
    } else {
      for (const auto& [id, off] : offsets) {
        std::shared_lock lock(seg.lock);
        auto h = live_header_at(seg.file, off, id);
        VectorRepr v = copy_payload(seg.file.bytes(), *h);
        benchmark::DoNotOptimize(v);
      }
    }
  }
  state.SetLabel(which);
  state.SetItemsProcessed(state.iterations() * f.ids.size());
}
BENCHMARK(BM_Part_ScanParts)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
