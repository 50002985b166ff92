// The table reader over a table of 1,000,000 entries (16-byte keys, 100-byte
// values, 4 KiB blocks, 10 bits per key): point reads that hit and that the
// filter rejects, with a warm block cache and with one much smaller than the
// table; range scans from either end; the sequential scanner. Beside them,
// the parts of a warm point read alone (filter probe, index seek, data-block
// point read on the same blocks) and the decoding of the same data blocks
// from memory, the references of the two targets.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/block/data_block.h"
#include "tervik/block/index_block.h"
#include "tervik/config/tree_config.h"
#include "tervik/table/table.h"
#include "tervik/table/table_inner.h"
#include "tervik/table/testing/table_builder.h"

namespace {

using namespace tervik;

const size_t kEntries = ::zv::bench::sized<size_t>(1'000'000, 20'000);
constexpr SeqNo kSnapshot = 1u << 30;
const size_t kProbes = ::zv::bench::sized<size_t>(1 << 16, 1 << 10);  // a power of two

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// 16 bytes: present keys are even, absent ones odd.
std::string key_of(uint64_t i) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "key:%012llu", static_cast<unsigned long long>(i));
  return buf;
}

struct Fixture {
  zv::testing::TempDir dir;
  std::string path = zv::fs::join(dir.path(), "1");
  std::vector<std::string> hits;
  std::vector<std::string> misses;

  Fixture() {
    std::vector<InternalValue> items;
    items.reserve(kEntries);
    for (uint64_t i = 0; i < kEntries; ++i) {
      std::string value(100, static_cast<char>('a' + i % 26));
      items.push_back(InternalValue::new_value(Slice(key_of(2 * i)), Slice(value), 1 + i % 1000));
    }
    testing::TableOptions o;  // 4 KiB blocks, 10 bits per key
    if (!testing::write_table(path, 1, items, o).ok()) std::abort();
    for (size_t i = 0; i < kProbes; ++i) {
      hits.push_back(key_of(2 * (mix(i) % kEntries)));
      misses.push_back(key_of(2 * (mix(i + kProbes) % kEntries) + 1));
    }
  }

  Table open(uint64_t cache_bytes) const {
    auto t = Table::recover(path, Checksum(), 0, 1, BlockCache::with_capacity_bytes(cache_bytes),
                            nullptr, true, true);
    if (!t.ok()) std::abort();
    return std::move(*t);
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

// Warm: every block cached; small: a 4 MiB cache against a 120 MB table.
Table table_for(bool warm) {
  const Fixture& f = fixture();
  Table t = f.open(warm ? (512ull << 20) : (4ull << 20));
  if (warm) {
    auto it = t.iter();
    while (auto e = it.next()) benchmark::DoNotOptimize(e);
  }
  return t;
}

void BM_TableGet(benchmark::State& state) {
  const bool warm = state.range(0) != 0;
  const bool hit = state.range(1) != 0;
  const Table t = table_for(warm);
  const auto& keys = hit ? fixture().hits : fixture().misses;
  size_t i = 0, found = 0;
  for (auto _ : state) {
    const std::string& k = keys[i++ & (kProbes - 1)];
    auto r = t.get(k, kSnapshot, BloomFilter::key_hash(k));
    found += r.ok() && r->has_value();
  }
  if (found != (hit ? static_cast<size_t>(state.iterations()) : 0)) state.SkipWithError("wrong answer");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::string(warm ? "warm cache" : "4 MiB cache") + (hit ? ", hit" : ", miss"));
}
BENCHMARK(BM_TableGet)->Args({1, 1})->Args({1, 0})->Args({0, 1})->Args({0, 0});

// A table of the compaction target size (64 MiB of entries) written with the
// default configuration's policies of one level, one per level.
struct LevelTable {
  zv::testing::TempDir dir;
  std::string path = zv::fs::join(dir.path(), "1");
  std::vector<std::string> hits;

  explicit LevelTable(size_t level) {
    const TreeConfig config = TreeConfig::create(dir.path(), SeqNoCounter(0), SeqNoCounter(0));
    // Entries are added until the data reach the target size on disk; the
    // values compress as the original benchmark's do.
    const uint64_t target = zv::bench::sized<uint64_t>(64u << 20, 2u << 20);
    auto w = TableWriter::create(path, 1, 0);
    if (!w.ok()) std::abort();
    w->data_block_size = config.data_block_size_policy.get(level);
    w->data_block_restart_interval = config.data_block_restart_interval_policy.get(level);
    w->data_block_compression = config.data_block_compression_policy.get(level);
    w->use_bloom_policy(config.filter_policy.get(level));
    w->use_index_block_compression(config.index_block_compression_policy.get(level));
    if (config.index_block_partitioning_policy.get(level)) w->use_partitioned_index();
    if (config.filter_block_partitioning_policy.get(level)) w->use_partitioned_filter();
    uint64_t entries = 0;
    for (; w->data_position() < target; ++entries) {
      std::string value(100, static_cast<char>('a' + entries % 26));
      if (!w->write(InternalValue::new_value(Slice(key_of(2 * entries)), Slice(value), 1)).ok()) {
        std::abort();
      }
    }
    if (!std::move(*w).finish().ok()) std::abort();
    for (size_t i = 0; i < kProbes; ++i) hits.push_back(key_of(2 * (mix(i) % entries)));
  }
};

const LevelTable& level_table(size_t level) {
  static std::unique_ptr<LevelTable> tables[kDefaultLevelCount];
  if (!tables[level]) tables[level] = std::make_unique<LevelTable>(level);
  return *tables[level];
}

// Warm point reads (every probe key read once first) of a level's table in
// the default 32 MiB database cache, pinned as the level's default policies
// say (arg 1 = 0) or with index and filter pinned (arg 1 = 1), the reference.
void BM_TableGetAtLevel(benchmark::State& state) {
  const size_t level = static_cast<size_t>(state.range(0));
  const bool pinned = state.range(1) != 0;
  const LevelTable& lt = level_table(level);
  const TreeConfig config = TreeConfig::create(lt.dir.path(), SeqNoCounter(0), SeqNoCounter(0));
  auto t = Table::recover(lt.path, Checksum(), 0, 1,
                          BlockCache::with_capacity_bytes(BlockCache::kDefaultDatabaseCapacity), nullptr,
                          pinned || config.filter_block_pinning_policy.get(level),
                          pinned || config.index_block_pinning_policy.get(level));
  if (!t.ok()) std::abort();
  for (const std::string& k : lt.hits) (void)t->get(k, kSnapshot, BloomFilter::key_hash(k));
  size_t i = 0, found = 0;
  for (auto _ : state) {
    const std::string& k = lt.hits[i++ & (kProbes - 1)];
    auto r = t->get(k, kSnapshot, BloomFilter::key_hash(k));
    found += r.ok() && r->has_value();
  }
  if (found != static_cast<size_t>(state.iterations())) state.SkipWithError("wrong answer");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("L" + std::to_string(level) + (pinned ? ", index and filter pinned" : ", default pinning") +
                 ", file " + std::to_string(t->meta().file_size >> 20) + " MiB, " +
                 std::to_string(t->meta().item_count) + " entries");
}
BENCHMARK(BM_TableGetAtLevel)->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {0, 1}});

// The three parts of a warm hit, each alone over the same keys and blocks.
void BM_GetPartFilterProbe(benchmark::State& state) {
  const Table t = table_for(true);
  const Block& filter = *t.inner()->pinned_filter;
  size_t i = 0;
  for (auto _ : state) {
    const std::string& k = fixture().hits[i++ & (kProbes - 1)];
    auto r = BloomFilter::contains_hash(filter.data.view(), BloomFilter::key_hash(k));
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPartFilterProbe);

void BM_GetPartIndexSeek(benchmark::State& state) {
  const Table t = table_for(true);
  auto file = zv::File::open_read(t.path());
  auto tli = Block::from_file(*file, t.regions().tli, CompressionType::kNone);
  const IndexBlock index(std::move(*tli));
  size_t i = 0;
  for (auto _ : state) {
    const std::string& k = fixture().hits[i++ & (kProbes - 1)];
    auto d = index.decoder();
    auto found = d->seek(k, kSnapshot);
    auto e = d->next();
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(e);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPartIndexSeek);

void BM_GetPartDataBlockPointRead(benchmark::State& state) {
  const Table t = table_for(true);
  const TableReadContext& ctx = *t.inner()->ctx;
  auto file = zv::File::open_read(t.path());
  auto tli = Block::from_file(*file, t.regions().tli, CompressionType::kNone);
  const IndexBlock index(std::move(*tli));
  // The block of each probe, as the cache holds it.
  std::vector<Block> blocks;
  for (const auto& k : fixture().hits) {
    auto d = index.decoder();
    (void)d->seek(k, kSnapshot);
    auto e = d->next();
    blocks.push_back(*ctx.block_cache->get_block(ctx.tree_id, ctx.table_id, (*e)->handle.offset));
  }
  size_t i = 0;
  for (auto _ : state) {
    const size_t n = i++ & (kProbes - 1);
    auto r = DataBlock(blocks[n]).point_read(fixture().hits[n], kSnapshot);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetPartDataBlockPointRead);

void BM_TableRange(benchmark::State& state) {
  const bool backward = state.range(0) != 0;
  const Table t = table_for(true);
  const size_t kSpan = ::zv::bench::sized<size_t>(10'000, 1'000);
  size_t i = 0, items = 0;
  for (auto _ : state) {
    const uint64_t lo = mix(i++) % (kEntries - kSpan);
    auto it = t.range(Bound::included(Slice(key_of(2 * lo))),
                      Bound::excluded(Slice(key_of(2 * (lo + kSpan)))));
    while (auto e = backward ? it.next_back() : it.next()) {
      benchmark::DoNotOptimize(e);
      ++items;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(items));
  state.SetLabel(backward ? "backward" : "forward");
}
BENCHMARK(BM_TableRange)->Arg(0)->Arg(1);

void BM_TableScanner(benchmark::State& state) {
  const Table t = table_for(false);
  for (auto _ : state) {
    auto s = t.scan();
    while (auto e = s->next()) benchmark::DoNotOptimize(e);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.meta().file_size));
}
BENCHMARK(BM_TableScanner)->Unit(benchmark::kMillisecond);

// The same data blocks decoded from memory, as the scanner's reference.
void BM_DecodeDataBlocksInMemory(benchmark::State& state) {
  const Table t = table_for(false);
  auto bytes = zv::fs::read_file(t.path());
  std::vector<Block> blocks;
  uint64_t pos = 0;
  while (pos < t.meta().file_size) {
    auto h = BlockHeader::decode(std::string_view(*bytes).substr(pos));
    const uint64_t frame = kBlockHeaderSize + h->data_length;
    blocks.push_back(*Block::from_frame(Slice(std::string_view(*bytes).substr(pos, frame)),
                                        CompressionType::kNone));
    pos += frame;
  }
  for (auto _ : state) {
    for (const Block& b : blocks) {
      auto d = DataBlockDecoder::open(b);
      while (true) {
        auto e = d->next();
        if (!e->has_value()) break;
        benchmark::DoNotOptimize(e);
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.meta().file_size));
}
BENCHMARK(BM_DecodeDataBlocksInMemory)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
