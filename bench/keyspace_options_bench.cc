// Reading one keyspace's options back from the meta keyspace, as every open
// does once per keyspace: from one prefix scan of its entries and from one
// point read per entry, both over an in-memory meta keyspace holding 100
// keyspaces (so the cost is the lookups and the decoding, not the tree's
// I/O); and building plus encoding the entries a creation writes.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_smoke.h"
#include "morva/src/keyspace_options_reader.h"
#include "morva/src/meta_keyspace.h"
#include "morva/src/testing/memory_meta_tree.h"

namespace {

using morva::KeyspaceCreateOptions;
using morva::MetaKeyspace;

std::shared_ptr<morva::testing::MemoryMetaTree> filled_tree() {
  auto tree = std::make_shared<morva::testing::MemoryMetaTree>();
  MetaKeyspace meta(tree);
  const uint64_t count = zv::bench::sized<uint64_t>(100, 10);
  for (uint64_t id = 1; id <= count; ++id) {
    KeyspaceCreateOptions o;
    if (id % 2 == 0) o.kv_separation = tervik::KvSeparationOptions{};
    (void)meta.create_keyspace(id, "keyspace" + std::to_string(id), o);
  }
  return tree;
}

void BM_ReadOptionsByScan(benchmark::State& state) {
  MetaKeyspace meta(filled_tree());
  for (auto _ : state) {
    auto o = morva::read_keyspace_options(meta, 4);
    benchmark::DoNotOptimize(o);
  }
}
BENCHMARK(BM_ReadOptionsByScan);

void BM_ReadOptionsByPointReads(benchmark::State& state) {
  MetaKeyspace meta(filled_tree());
  for (auto _ : state) {
    auto o = morva::read_keyspace_options([&](std::string_view n) { return meta.get_config(4, n); });
    benchmark::DoNotOptimize(o);
  }
}
BENCHMARK(BM_ReadOptionsByPointReads);

void BM_BuildCreationEntries(benchmark::State& state) {
  KeyspaceCreateOptions o;
  o.kv_separation = tervik::KvSeparationOptions{};
  for (auto _ : state) {
    auto entries = morva::keyspace_meta_entries(7, "memories", o);
    benchmark::DoNotOptimize(entries);
  }
}
BENCHMARK(BM_BuildCreationEntries);

}  // namespace

BENCHMARK_MAIN();
