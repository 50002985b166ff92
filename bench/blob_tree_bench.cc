// A blob tree beside RocksDB's integrated blob files: 32,768 values of 8 KiB
// under 16-byte keys (values separated from 4,096 bytes, blob files of 64
// MiB, no compression, RocksDB's write-ahead log off and its blob garbage
// collection on with age cutoff 1.0). Written until durable (the tree by one
// blob ingestion of the sorted keys, RocksDB by puts and a flush); 100,000
// random point reads resolving each value, with a cache larger than the data
// and with one a tenth of its size; a full scan resolving every value; then
// every second key overwritten with a new 8 KiB value (the tree by a second
// blob ingestion, RocksDB by puts and a flush) and compacted until nothing is
// chosen, reporting the time and the bytes on disk per live byte. RocksDB
// runs when the build found it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/compaction/strategy.h"
#include "tervik/tree/blob_ingestion.h"
#include "tervik/tree/relocation_choice.h"
#include "tervik/tree/tree_handle.h"

#ifdef ZV_BENCH_PEERS
#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/table.h>
#endif

namespace {

using tervik::SeqNoCounter;

const uint64_t kKeys = zv::bench::sized<uint64_t>(32768, 512);
constexpr size_t kValueSize = 8192;
const int64_t kReads = zv::bench::sized<int64_t>(100000, 2000);
const uint64_t kDataBytes = kKeys * (16 + kValueSize);
const uint64_t kWarmCache = 2 * kDataBytes;
const uint64_t kColdCache = kDataBytes / 10;

std::string key_of(uint64_t i) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llu", static_cast<unsigned long long>(i));
  return std::string(buf, 16);
}

// Value of key i in generation g: 8 KiB that differ per key and generation.
std::string value_of(uint64_t i, uint64_t g) {
  std::string v(kValueSize, static_cast<char>('a' + (i + g) % 26));
  std::snprintf(v.data(), 24, "%llu/%llu", static_cast<unsigned long long>(i), static_cast<unsigned long long>(g));
  return v;
}

uint64_t next_random(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 20;
}

uint64_t bytes_on_disk(const std::string& path) {
  uint64_t total = 0;
  auto names = zv::fs::list_dir(path);
  if (!names.ok()) return 0;
  for (const std::string& n : *names) {
    const std::string p = zv::fs::join(path, n);
    if (zv::fs::is_dir(p)) {
      total += bytes_on_disk(p);
    } else if (auto s = zv::fs::file_size(p); s.ok()) {
      total += *s;
    }
  }
  return total;
}

// Merges every table into the last level while tables lie above it or a
// blob file is worth relocating; otherwise nothing.
class MergeAll final : public tervik::compaction::CompactionStrategy {
 public:
  std::string_view name() const override { return "MergeAll"; }
  std::vector<tervik::compaction::ConfigEntry> config() const override { return {}; }
  tervik::compaction::Choice choose(const tervik::Version& v, const tervik::TreeConfig& c,
                                    const tervik::HiddenTableSet&) const override {
    std::vector<uint64_t> ids;
    bool above_last = false;
    for (size_t l = 0; l < v.level_count(); ++l) {
      for (const tervik::RunHandle& run : v.levels()[l]->runs()) {
        for (const tervik::Table& t : run->tables()) ids.push_back(t.id());
        if (l + 1 < v.level_count() || v.levels()[l]->runs().size() > 1) above_last = true;
      }
    }
    if (ids.empty()) return tervik::compaction::DoNothing{};
    auto relocate = tervik::compaction::pick_blob_files_for_relocation(ids, v, *c.kv_separation_opts);
    if (!above_last && (!relocate.ok() || relocate->empty())) return tervik::compaction::DoNothing{};
    return tervik::compaction::Merge{tervik::compaction::Input{
        tervik::compaction::make_id_set(ids), static_cast<uint8_t>(v.level_count() - 1),
        static_cast<uint8_t>(v.level_count() - 1), 64ull << 20}};
  }
};

struct OurBlobTree {
  explicit OurBlobTree(uint64_t cache_bytes) : cache_bytes(cache_bytes) { reopen(); }

  void reopen() {
    tree.reset();
    tree.emplace(open(cache_bytes));
  }

  tervik::BlobTree open(uint64_t cache_bytes) {
    tervik::TreeConfig c = tervik::TreeConfig::create(zv::fs::join(dir.path(), "tree"), seqno, visible)
                               .with_data_block_compression_policy(tervik::CompressionPolicy::disabled())
                               .with_data_block_size_policy(tervik::BlockSizePolicy::all(4096))
                               .use_cache(tervik::BlockCache::with_capacity_bytes(cache_bytes));
    tervik::KvSeparationOptions kv;
    kv.separation_threshold = 4096;
    kv.file_target_size = 64ull << 20;
    kv.staleness_threshold = 0.25f;
    kv.age_cutoff = 1.0f;
    c.kv_separation_opts = kv;
    auto h = tervik::open_tree(std::move(c));
    if (!h.ok()) std::abort();
    return std::get<tervik::BlobTree>(h->tree);
  }
  // Generation g of every key, or of every second key.
  void ingest(uint64_t g, bool every_second) {
    auto ing = tervik::BlobIngestion::create(*tree);
    if (!ing.ok()) std::abort();
    for (uint64_t i = 0; i < kKeys; i += every_second ? 2 : 1) {
      if (!ing->write(key_of(i), value_of(i, g)).ok()) std::abort();
    }
    if (!std::move(*ing).finish().ok()) std::abort();
  }
  size_t get(const std::string& key) const {
    const tervik::SuperVersion sv = tree->get_version_for_snapshot(seqno.get());
    auto item = tervik::Tree::get_from_version(sv, key, seqno.get());
    if (!item.ok() || !item->has_value()) std::abort();
    auto kv = tervik::vlog::resolve_indirection(tree->index().id(), sv.version.blob_files(), sv.version.id(),
                                                *tree->index().config().cache, **item);
    if (!kv.ok()) std::abort();
    return kv->second.size();
  }

  zv::testing::TempDir dir;
  SeqNoCounter seqno{1};
  SeqNoCounter visible{1};
  uint64_t cache_bytes;
  std::optional<tervik::BlobTree> tree;
};

OurBlobTree& loaded(bool warm) {
  static OurBlobTree* trees[2] = {nullptr, nullptr};
  OurBlobTree*& t = trees[warm ? 1 : 0];
  if (t == nullptr) {
    t = new OurBlobTree(warm ? kWarmCache : kColdCache);
    t->ingest(0, false);
  }
  return *t;
}

void BM_Write_Tervik(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto t = std::make_unique<OurBlobTree>(kWarmCache);
    state.ResumeTiming();
    t->ingest(0, false);
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kDataBytes));
}

void BM_PointReads_Tervik(benchmark::State& state) {
  const bool warm = state.range(0) != 0;
  OurBlobTree& t = loaded(warm);
  uint64_t rnd = 7, n = 0;
  for (auto _ : state) n += t.get(key_of(next_random(rnd) % kKeys));
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(warm ? "warm cache" : "cache of a tenth");
}

void BM_FullScan_Tervik(benchmark::State& state) {
  OurBlobTree& t = loaded(true);
  uint64_t n = 0;
  for (auto _ : state) {
    tervik::BlobTreeIter it = t.tree->iter(t.seqno.get());
    n = 0;
    while (std::optional<tervik::BlobTreeGuard> g = it.next()) {
      auto kv = std::move(*g).into_kv();
      if (!kv.ok() || kv->second.size() != kValueSize) std::abort();
      ++n;
    }
  }
  if (n != kKeys) state.SkipWithError("wrong count");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
}

void BM_OverwriteAndCompact_Tervik(benchmark::State& state) {
  double amplification = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto t = std::make_unique<OurBlobTree>(kWarmCache);
    t->ingest(0, false);
    state.ResumeTiming();
    t->ingest(1, true);
    const auto strategy = std::make_shared<MergeAll>();
    for (;;) {
      const uint64_t before = t->tree->index().current_version().id();
      if (!t->tree->index().compact(strategy, t->seqno.get()).ok()) std::abort();
      if (t->tree->index().current_version().id() == before) break;
    }
    state.PauseTiming();
    // Reopened, so that every replaced file has gone with its last holder.
    t->reopen();
    amplification = static_cast<double>(bytes_on_disk(zv::fs::join(t->dir.path(), "tree"))) /
                    static_cast<double>(kDataBytes);
    t.reset();
    state.ResumeTiming();
  }
  state.counters["disk_per_live_byte"] = amplification;
}

BENCHMARK(BM_Write_Tervik)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PointReads_Tervik)->Arg(1)->Arg(0)->Iterations(kReads)->UseRealTime();
BENCHMARK(BM_FullScan_Tervik)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_OverwriteAndCompact_Tervik)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

#ifdef ZV_BENCH_PEERS

struct Rocks {
  explicit Rocks(uint64_t cache_bytes) {
    rocksdb::Options o;
    o.create_if_missing = true;
    o.compression = rocksdb::kNoCompression;
    o.disable_auto_compactions = true;
    o.enable_blob_files = true;
    o.min_blob_size = 4096;
    o.blob_file_size = 64ull << 20;
    o.blob_compression_type = rocksdb::kNoCompression;
    o.enable_blob_garbage_collection = true;
    o.blob_garbage_collection_age_cutoff = 1.0;
    o.write_buffer_size = 512ull << 20;
    const std::shared_ptr<rocksdb::Cache> cache = rocksdb::NewLRUCache(cache_bytes);
    rocksdb::BlockBasedTableOptions t;
    t.block_size = 4096;
    t.block_cache = cache;
    o.table_factory.reset(rocksdb::NewBlockBasedTableFactory(t));
    o.blob_cache = cache;
    rocksdb::DB* raw = nullptr;
    path = zv::fs::join(dir.path(), "rocks");
    if (!rocksdb::DB::Open(o, path, &raw).ok()) std::abort();
    db.reset(raw);
  }
  void write(uint64_t g, bool every_second) {
    rocksdb::WriteOptions w;
    w.disableWAL = true;
    for (uint64_t i = 0; i < kKeys; i += every_second ? 2 : 1) {
      if (!db->Put(w, key_of(i), value_of(i, g)).ok()) std::abort();
    }
    if (!db->Flush(rocksdb::FlushOptions()).ok()) std::abort();
  }
  size_t get(const std::string& key) const {
    std::string v;
    if (!db->Get(rocksdb::ReadOptions(), key, &v).ok()) std::abort();
    return v.size();
  }

  zv::testing::TempDir dir;
  std::string path;
  std::unique_ptr<rocksdb::DB> db;
};

Rocks& rocks_loaded(bool warm) {
  static Rocks* dbs[2] = {nullptr, nullptr};
  Rocks*& r = dbs[warm ? 1 : 0];
  if (r == nullptr) {
    r = new Rocks(warm ? kWarmCache : kColdCache);
    r->write(0, false);
  }
  return *r;
}

void BM_Write_RocksDB(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto r = std::make_unique<Rocks>(kWarmCache);
    state.ResumeTiming();
    r->write(0, false);
    state.PauseTiming();
    r.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kDataBytes));
}

void BM_PointReads_RocksDB(benchmark::State& state) {
  const bool warm = state.range(0) != 0;
  Rocks& r = rocks_loaded(warm);
  uint64_t rnd = 7, n = 0;
  for (auto _ : state) n += r.get(key_of(next_random(rnd) % kKeys));
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(warm ? "warm cache" : "cache of a tenth");
}

void BM_FullScan_RocksDB(benchmark::State& state) {
  Rocks& r = rocks_loaded(true);
  uint64_t n = 0;
  for (auto _ : state) {
    std::unique_ptr<rocksdb::Iterator> it(r.db->NewIterator(rocksdb::ReadOptions()));
    n = 0;
    for (it->SeekToFirst(); it->Valid(); it->Next()) {
      if (it->value().size() != kValueSize) std::abort();
      ++n;
    }
  }
  if (n != kKeys) state.SkipWithError("wrong count");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
}

void BM_OverwriteAndCompact_RocksDB(benchmark::State& state) {
  double amplification = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto r = std::make_unique<Rocks>(kWarmCache);
    r->write(0, false);
    state.ResumeTiming();
    r->write(1, true);
    rocksdb::CompactRangeOptions c;
    c.bottommost_level_compaction = rocksdb::BottommostLevelCompaction::kForce;
    if (!r->db->CompactRange(c, nullptr, nullptr).ok()) std::abort();
    state.PauseTiming();
    amplification = static_cast<double>(bytes_on_disk(r->path)) / static_cast<double>(kDataBytes);
    r.reset();
    state.ResumeTiming();
  }
  state.counters["disk_per_live_byte"] = amplification;
}

BENCHMARK(BM_Write_RocksDB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PointReads_RocksDB)->Arg(1)->Arg(0)->Iterations(kReads)->UseRealTime();
BENCHMARK(BM_FullScan_RocksDB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_OverwriteAndCompact_RocksDB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

#endif

}  // namespace

BENCHMARK_MAIN();
