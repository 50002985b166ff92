// The LSM tree's scans and ingestion beside RocksDB and LMDB: over the same
// keys after the flush (RocksDB after a full manual compaction, LMDB as
// loaded), a full scan forwards and backwards, short scans of 100 entries
// from random start keys and prefix scans of 1,000 keys each (entries/s);
// then the ingestion of all keys, sorted, until they are durable and visible
// (bytes/s of user data), against RocksDB's external table writer followed
// by its ingestion of the file. 16-byte keys, 100-byte values, no
// compression, 4 KiB blocks, 10-bit Bloom filters, a 256 MiB block cache on
// both LSM sides. The peers are built in when the build found them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/tree/ingestion.h"
#include "tervik/tree/tree.h"

#ifdef ZV_BENCH_PEERS
#include <lmdb.h>
#include <rocksdb/cache.h>
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/sst_file_writer.h>
#include <rocksdb/table.h>
#endif

namespace {

using tervik::SeqNoCounter;
using tervik::Slice;
using tervik::Tree;

const uint64_t kKeys = zv::bench::sized<uint64_t>(1000000, 20000);
constexpr uint64_t kShortScan = 100;
// A prefix of 13 of the 16 digits covers 1,000 keys.
constexpr size_t kPrefixLength = 13;
constexpr uint64_t kPrefixKeys = 1000;
const int64_t kShortScans = zv::bench::sized<int64_t>(100000, 2000);
const int64_t kPrefixScans = zv::bench::sized<int64_t>(1000, 20);
constexpr size_t kValueSize = 100;

// Key i: 16 decimal digits, so that prefixes cover runs of 1,000 keys.
std::string key_of(uint64_t i) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llu", static_cast<unsigned long long>(i));
  return std::string(buf, 16);
}

const std::string& value() {
  static const std::string v(kValueSize, 'v');
  return v;
}

// The n-th key written: a permutation of 0..kKeys-1 (7919 is a prime that
// divides no kKeys), so that writes arrive out of order.
uint64_t scattered(uint64_t n) { return n * 7919 % kKeys; }

uint64_t next_random(uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 20;
}

tervik::TreeConfig tree_config(const std::string& path, const SeqNoCounter& seqno, const SeqNoCounter& visible) {
  return tervik::TreeConfig::create(path, seqno, visible)
      .with_data_block_compression_policy(tervik::CompressionPolicy::disabled())
      .with_data_block_size_policy(tervik::BlockSizePolicy::all(4096))
      .use_cache(tervik::BlockCache::with_capacity_bytes(256ull << 20));
}

// Our tree with every key written in random order and flushed once.
struct OurTree {
  OurTree() : tree(open()) {
    const Slice v(value());
    for (uint64_t n = 0; n < kKeys; ++n) {
      tree.append_entry(tervik::InternalValue::new_value(Slice(key_of(scattered(n))), v, seqno.next()));
    }
    auto guard = tree.lock_flush();
    tree.rotate_memtable();
    if (!tree.flush_sealed_memtables(0).ok()) std::abort();
  }
  Tree open() {
    auto t = Tree::open(tree_config(zv::fs::join(dir.path(), "tree"), seqno, visible));
    if (!t.ok()) std::abort();
    return *t;
  }
  zv::testing::TempDir dir;
  SeqNoCounter seqno{1};
  SeqNoCounter visible{1};
  Tree tree;
};

OurTree& ours() {
  static OurTree* t = new OurTree();
  return *t;
}

void BM_FullScan_Tervik(benchmark::State& state) {
  const bool back = state.range(0) != 0;
  OurTree& t = ours();
  uint64_t n = 0, bytes = 0;
  for (auto _ : state) {
    tervik::KvIter it = t.tree.iter(t.seqno.get());
    n = 0;
    while (tervik::KvItem item = back ? it.next_back() : it.next()) {
      if (!item->ok()) std::abort();
      bytes += (*item)->first.size() + (*item)->second.size();
      ++n;
    }
  }
  if (n != kKeys) state.SkipWithError("wrong count");
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
  state.SetLabel(back ? "backward" : "forward");
}

void BM_ShortScans_Tervik(benchmark::State& state) {
  OurTree& t = ours();
  uint64_t rnd = 5, n = 0;
  const tervik::SuperVersion sv = t.tree.get_version_for_snapshot(t.seqno.get());
  for (auto _ : state) {
    const std::string start = key_of(next_random(rnd) % (kKeys - kShortScan));
    tervik::TreeIter it = tervik::TreeIter::create_range(
        sv, tervik::KeyRange{tervik::Bound::included(Slice(start)), tervik::Bound::unbounded()}, t.seqno.get());
    for (uint64_t k = 0; k < kShortScan; ++k) {
      tervik::ReadItem item = it.next();
      if (!item || !item->ok()) std::abort();
      n += (*item)->value.size();
    }
  }
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kShortScan));
}

void BM_PrefixScans_Tervik(benchmark::State& state) {
  OurTree& t = ours();
  uint64_t rnd = 9, n = 0;
  for (auto _ : state) {
    const std::string prefix = key_of(next_random(rnd) % (kKeys / kPrefixKeys) * kPrefixKeys).substr(0, kPrefixLength);
    tervik::TreeIter it = tervik::TreeIter::create_prefix(t.tree.latest_super_version(), prefix);
    uint64_t found = 0;
    while (tervik::ReadItem item = it.next()) {
      if (!item->ok()) std::abort();
      if (!(*item)->key.user_key.starts_with(prefix)) break;
      ++found;
    }
    if (found != kPrefixKeys) std::abort();
    n += found;
  }
  state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_Ingest_Tervik(benchmark::State& state) {
  const Slice v(value());
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<zv::testing::TempDir>();
    SeqNoCounter seqno{1}, visible{1};
    auto opened = Tree::open(tree_config(zv::fs::join(dir->path(), "tree"), seqno, visible));
    if (!opened.ok()) std::abort();
    std::optional<Tree> tree(std::move(*opened));
    state.ResumeTiming();
    auto ing = tervik::Ingestion::create(*tree);
    if (!ing.ok()) std::abort();
    for (uint64_t i = 0; i < kKeys; ++i) {
      if (!ing->write(Slice(key_of(i)), v).ok()) std::abort();
    }
    if (!std::move(*ing).finish().ok()) std::abort();
    state.PauseTiming();
    if (!tree->get(key_of(kKeys - 1), visible.get()).ok()) std::abort();
    tree.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kKeys * (16 + kValueSize)));
}

#ifdef ZV_BENCH_PEERS

rocksdb::Options rocks_options() {
  rocksdb::Options o;
  o.create_if_missing = true;
  o.compression = rocksdb::kNoCompression;
  o.write_buffer_size = 1ull << 30;  // one memtable holds everything
  rocksdb::BlockBasedTableOptions t;
  t.block_size = 4096;
  t.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
  t.block_cache = rocksdb::NewLRUCache(256ull << 20);
  o.table_factory.reset(rocksdb::NewBlockBasedTableFactory(t));
  return o;
}

struct RocksTree {
  RocksTree() {
    rocksdb::DB* raw = nullptr;
    if (!rocksdb::DB::Open(rocks_options(), zv::fs::join(dir.path(), "rocks"), &raw).ok()) std::abort();
    db.reset(raw);
    rocksdb::WriteOptions w;
    w.disableWAL = true;
    for (uint64_t n = 0; n < kKeys; ++n) {
      if (!db->Put(w, key_of(scattered(n)), value()).ok()) std::abort();
    }
    if (!db->Flush(rocksdb::FlushOptions()).ok()) std::abort();
    rocksdb::CompactRangeOptions c;
    c.bottommost_level_compaction = rocksdb::BottommostLevelCompaction::kForce;
    if (!db->CompactRange(c, nullptr, nullptr).ok()) std::abort();
  }
  zv::testing::TempDir dir;
  std::unique_ptr<rocksdb::DB> db;
};

RocksTree& rocks() {
  static RocksTree* t = new RocksTree();
  return *t;
}

struct LmdbStore {
  LmdbStore() {
    const std::string path = zv::fs::join(dir.path(), "lmdb");
    if (!zv::fs::create_dir_all(path).ok()) std::abort();
    if (mdb_env_create(&env) != 0 || mdb_env_set_mapsize(env, 8ull << 30) != 0 ||
        mdb_env_open(env, path.c_str(), MDB_NOSYNC, 0644) != 0) {
      std::abort();
    }
    MDB_txn* txn = nullptr;
    for (uint64_t n = 0; n < kKeys; ++n) {
      if (txn == nullptr && mdb_txn_begin(env, nullptr, 0, &txn) != 0) std::abort();
      if (n == 0 && mdb_dbi_open(txn, nullptr, 0, &dbi) != 0) std::abort();
      std::string k = key_of(scattered(n));
      MDB_val key{k.size(), k.data()};
      MDB_val val{value().size(), const_cast<char*>(value().data())};
      if (mdb_put(txn, dbi, &key, &val, 0) != 0) std::abort();
      if ((n + 1) % 1000 == 0 || n + 1 == kKeys) {
        if (mdb_txn_commit(txn) != 0) std::abort();
        txn = nullptr;
      }
    }
    if (mdb_env_sync(env, 1) != 0) std::abort();
  }
  zv::testing::TempDir dir;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
};

LmdbStore& lmdb() {
  static LmdbStore* s = new LmdbStore();
  return *s;
}

// A read-only LMDB cursor for one scan.
struct LmdbCursor {
  LmdbCursor() {
    if (mdb_txn_begin(lmdb().env, nullptr, MDB_RDONLY, &txn) != 0) std::abort();
    if (mdb_cursor_open(txn, lmdb().dbi, &cursor) != 0) std::abort();
  }
  ~LmdbCursor() {
    mdb_cursor_close(cursor);
    mdb_txn_abort(txn);
  }
  bool get(MDB_val* k, MDB_val* v, MDB_cursor_op op) { return mdb_cursor_get(cursor, k, v, op) == 0; }
  MDB_txn* txn = nullptr;
  MDB_cursor* cursor = nullptr;
};

void BM_FullScan_RocksDB(benchmark::State& state) {
  const bool back = state.range(0) != 0;
  rocksdb::DB& db = *rocks().db;
  uint64_t n = 0, bytes = 0;
  for (auto _ : state) {
    std::unique_ptr<rocksdb::Iterator> it(db.NewIterator(rocksdb::ReadOptions()));
    n = 0;
    for (back ? it->SeekToLast() : it->SeekToFirst(); it->Valid(); back ? it->Prev() : it->Next()) {
      bytes += it->key().size() + it->value().size();
      ++n;
    }
  }
  if (n != kKeys) state.SkipWithError("wrong count");
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
  state.SetLabel(back ? "backward" : "forward");
}

void BM_FullScan_LMDB(benchmark::State& state) {
  const bool back = state.range(0) != 0;
  uint64_t n = 0, bytes = 0;
  for (auto _ : state) {
    LmdbCursor c;
    MDB_val k, v;
    n = 0;
    for (bool ok = c.get(&k, &v, back ? MDB_LAST : MDB_FIRST); ok; ok = c.get(&k, &v, back ? MDB_PREV : MDB_NEXT)) {
      bytes += k.mv_size + v.mv_size;
      ++n;
    }
  }
  if (n != kKeys) state.SkipWithError("wrong count");
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
  state.SetLabel(back ? "backward" : "forward");
}

void BM_ShortScans_RocksDB(benchmark::State& state) {
  rocksdb::DB& db = *rocks().db;
  uint64_t rnd = 5, n = 0;
  for (auto _ : state) {
    const std::string start = key_of(next_random(rnd) % (kKeys - kShortScan));
    std::unique_ptr<rocksdb::Iterator> it(db.NewIterator(rocksdb::ReadOptions()));
    it->Seek(start);
    for (uint64_t k = 0; k < kShortScan; ++k, it->Next()) {
      if (!it->Valid()) std::abort();
      n += it->value().size();
    }
  }
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kShortScan));
}

void BM_ShortScans_LMDB(benchmark::State& state) {
  uint64_t rnd = 5, n = 0;
  for (auto _ : state) {
    std::string start = key_of(next_random(rnd) % (kKeys - kShortScan));
    LmdbCursor c;
    MDB_val k{start.size(), start.data()}, v;
    bool ok = c.get(&k, &v, MDB_SET_RANGE);
    for (uint64_t i = 0; i < kShortScan; ++i, ok = c.get(&k, &v, MDB_NEXT)) {
      if (!ok) std::abort();
      n += v.mv_size;
    }
  }
  benchmark::DoNotOptimize(n);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kShortScan));
}

void BM_PrefixScans_RocksDB(benchmark::State& state) {
  rocksdb::DB& db = *rocks().db;
  uint64_t rnd = 9, n = 0;
  for (auto _ : state) {
    const std::string prefix = key_of(next_random(rnd) % (kKeys / kPrefixKeys) * kPrefixKeys).substr(0, kPrefixLength);
    std::unique_ptr<rocksdb::Iterator> it(db.NewIterator(rocksdb::ReadOptions()));
    uint64_t found = 0;
    for (it->Seek(prefix); it->Valid() && it->key().starts_with(prefix); it->Next()) ++found;
    if (found != kPrefixKeys) std::abort();
    n += found;
  }
  state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_PrefixScans_LMDB(benchmark::State& state) {
  uint64_t rnd = 9, n = 0;
  for (auto _ : state) {
    std::string prefix = key_of(next_random(rnd) % (kKeys / kPrefixKeys) * kPrefixKeys).substr(0, kPrefixLength);
    LmdbCursor c;
    MDB_val k{prefix.size(), prefix.data()}, v;
    uint64_t found = 0;
    for (bool ok = c.get(&k, &v, MDB_SET_RANGE);
         ok && std::string_view(static_cast<const char*>(k.mv_data), k.mv_size).starts_with(prefix);
         ok = c.get(&k, &v, MDB_NEXT)) {
      ++found;
    }
    if (found != kPrefixKeys) std::abort();
    n += found;
  }
  state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_Ingest_RocksDB(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<zv::testing::TempDir>();
    rocksdb::DB* raw = nullptr;
    const rocksdb::Options options = rocks_options();
    if (!rocksdb::DB::Open(options, zv::fs::join(dir->path(), "rocks"), &raw).ok()) std::abort();
    std::unique_ptr<rocksdb::DB> db(raw);
    const std::string file = zv::fs::join(dir->path(), "ingest.sst");
    state.ResumeTiming();
    rocksdb::SstFileWriter writer(rocksdb::EnvOptions(), options);
    if (!writer.Open(file).ok()) std::abort();
    for (uint64_t i = 0; i < kKeys; ++i) {
      if (!writer.Put(key_of(i), value()).ok()) std::abort();
    }
    if (!writer.Finish().ok()) std::abort();
    rocksdb::IngestExternalFileOptions ingest;
    ingest.move_files = true;
    if (!db->IngestExternalFile({file}, ingest).ok()) std::abort();
    state.PauseTiming();
    db.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kKeys * (16 + kValueSize)));
}

#endif  // ZV_BENCH_PEERS

}  // namespace

// Full scans run once untimed first, so that no row pays for cold pages.
const double kWarmUp = zv::bench::sized(1.0, 0.0);

BENCHMARK(BM_FullScan_Tervik)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinWarmUpTime(kWarmUp);
BENCHMARK(BM_ShortScans_Tervik)->Iterations(kShortScans);
BENCHMARK(BM_PrefixScans_Tervik)->Iterations(kPrefixScans)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ingest_Tervik)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef ZV_BENCH_PEERS
BENCHMARK(BM_FullScan_RocksDB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinWarmUpTime(kWarmUp);
BENCHMARK(BM_FullScan_LMDB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinWarmUpTime(kWarmUp);
BENCHMARK(BM_ShortScans_RocksDB)->Iterations(kShortScans);
BENCHMARK(BM_ShortScans_LMDB)->Iterations(kShortScans);
BENCHMARK(BM_PrefixScans_RocksDB)->Iterations(kPrefixScans)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrefixScans_LMDB)->Iterations(kPrefixScans)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ingest_RocksDB)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

BENCHMARK_MAIN();
