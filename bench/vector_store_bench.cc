// The vector store's hot paths:
//   - append_node of 384-dim f32 nodes into a mapped segment file, beside a
//     plain copy of the same header and payload bytes into the same mapping;
//   - the index rebuild from segment 0 over clustered 128-dim nodes: the scan
//     alone, and the adds with 1, 2, 4 and 8 threads of the pool.
#include <benchmark/benchmark.h>

#include <tbb/task_arena.h>

#include <cstring>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/index/hnsw_index.h"
#include "src/index/testing/vector_data.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/vfile.h"

namespace {

using namespace zv;

constexpr size_t kAppendDim = 384;
constexpr uint64_t kRecordBytes = 64 + 4 * kAppendDim;  // 1600: a multiple of 64
constexpr uint64_t kSegmentBytes = 64ull << 20;

struct SegmentFile {
  testing::TempDir dir;
  VFile file = *VFile::open(fs::join(dir.path(), "vstore_L0.zolva"), kSegmentBytes, false);
};

EngineNode append_node_fixture() {
  EngineNode n = EngineNode::create(42);
  std::vector<float> v(kAppendDim);
  for (size_t i = 0; i < kAppendDim; ++i) v[i] = 0.001f * static_cast<float>(i);
  n.vector = VectorRepr::f32(std::move(v));
  n.bitset = {0xF0F0};
  return n;
}

void BM_AppendNode384(benchmark::State& state) {
  SegmentFile seg;
  const EngineNode node = append_node_fixture();
  const uint64_t last = kSegmentBytes - kRecordBytes;
  for (auto _ : state) {
    if (seg.file.write_offset() > last) seg.file.set_write_offset(64);
    auto p = seg.file.append_node(node);
    benchmark::DoNotOptimize(p);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kRecordBytes);
}
BENCHMARK(BM_AppendNode384);

void BM_PlainCopy384(benchmark::State& state) {
  SegmentFile seg;
  const EngineNode node = append_node_fixture();
  uint8_t header[64] = {};
  const auto* payload = reinterpret_cast<const uint8_t*>(node.vector.as_f32()->data());
  uint8_t* base = seg.file.bytes_mut()->data();
  const uint64_t last = kSegmentBytes - kRecordBytes;
  uint64_t pos = 64;
  for (auto _ : state) {
    if (pos > last) pos = 64;
    std::memcpy(base + pos, header, 64);
    std::memcpy(base + pos + 64, payload, 4 * kAppendDim);
    pos += kRecordBytes;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kRecordBytes);
}
BENCHMARK(BM_PlainCopy384);

constexpr size_t kRebuildDim = 128;

const VFile& rebuild_segment() {
  static const VFile seg = [] {
    const size_t n = bench::sized<size_t>(100000, 2000);
    const auto data = testing::clustered_vectors(n, kRebuildDim, 100, 0.2f, 3, 4);
    VFile f = VFile::in_memory(kSegmentBytes);
    for (size_t i = 0; i < n; ++i) {
      EngineNode node = EngineNode::create(1 + i);
      node.vector = VectorRepr::f32(
          std::vector<float>(data.begin() + i * kRebuildDim, data.begin() + (i + 1) * kRebuildDim));
      (void)f.append_node(node);
    }
    return f;
  }();
  return seg;
}

void BM_RebuildScan(benchmark::State& state) {
  const VFile& seg = rebuild_segment();
  for (auto _ : state) {
    StoreScan scan = scan_store_for_rebuild(seg);
    benchmark::DoNotOptimize(scan.items.data());
  }
  state.SetItemsProcessed(state.iterations() * scan_store_for_rebuild(seg).items.size());
}
BENCHMARK(BM_RebuildScan)->Unit(benchmark::kMillisecond);

void BM_RebuildAdds(benchmark::State& state) {
  const VFile& seg = rebuild_segment();
  const int threads = static_cast<int>(state.range(0));
  tbb::task_arena arena(threads);
  size_t nodes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    StoreScan scan = scan_store_for_rebuild(seg);
    nodes = scan.items.size();
    HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
    state.ResumeTiming();
    arena.execute([&] { (void)add_rebuild_items(index, scan.items); });
  }
  state.SetItemsProcessed(state.iterations() * nodes);
}
BENCHMARK(BM_RebuildAdds)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
