// Write amplification and throughput of the LSM tree under compaction, with
// RocksDB and LMDB (when their Debian packages are installed) in the same
// run and the same shape: 16-byte random keys, 100-byte values, memtables
// and tables of 8 MiB, level-0 trigger 4, level base 32 MiB, ratio 10, no
// compression, no write-ahead log, one compaction thread. The load rotates
// and flushes at 8 MiB while one thread compacts, then compacts until the
// strategy chooses nothing; then random point reads and a full scan.
// Counters: load_s, write_amp (bytes written to table files / user bytes),
// reads_per_s, scanned_per_s. The storage backend's phases against the same
// peers follow (bench/backend_peers.h).
#include <benchmark/benchmark.h>
#include <xxhash.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_smoke.h"
#include "platform/testing/temp_dir.h"
#include "tervik/compaction/leveled.h"
#include "tervik/merge/compaction_stream.h"
#include "tervik/merge/merger.h"
#include "tervik/tree/run_scanner.h"
#include "tervik/tree/tree.h"

#ifdef ZV_BENCH_ROCKSDB
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/statistics.h>
#include <rocksdb/table.h>
#endif
#ifdef ZV_BENCH_LMDB
#include <lmdb.h>
#endif

namespace {

using tervik::InternalValue;
using tervik::SeqNoCounter;
using tervik::Slice;
using tervik::Tree;

const uint64_t kKeys = zv::bench::sized<uint64_t>(2000000, 20000);
const uint64_t kReads = zv::bench::sized<uint64_t>(1000000, 10000);
constexpr uint64_t kMemtableBytes = 8ull << 20;
constexpr uint64_t kTableBytes = 8ull << 20;
constexpr size_t kValueBytes = 100;

// A scattered but reproducible 64-bit value per index.
uint64_t mix(uint64_t i) { return XXH3_64bits(&i, sizeof(i)); }

std::string key_of(uint64_t i) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(mix(i)));
  return std::string(buf, 16);
}

const std::string& value() {
  static const std::string v(kValueBytes, 'v');
  return v;
}

double user_bytes() { return static_cast<double>(kKeys) * (16 + kValueBytes); }

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Bytes this process has handed to write() so far.
uint64_t written_bytes() {
  std::ifstream io("/proc/self/io");
  std::string name;
  uint64_t v = 0;
  while (io >> name >> v) {
    if (name == "wchar:") return v;
  }
  return 0;
}

void report(benchmark::State& state, double load_s, double write_amp, double reads_s, uint64_t scanned,
            double scan_s) {
  state.counters["load_s"] = load_s;
  state.counters["load_per_s"] = static_cast<double>(kKeys) / load_s;
  if (write_amp > 0) state.counters["write_amp"] = write_amp;
  state.counters["reads_per_s"] = static_cast<double>(kReads) / reads_s;
  if (scan_s > 0) state.counters["scanned_per_s"] = static_cast<double>(scanned) / scan_s;
}

void BM_TreeCompactedLoad(benchmark::State& state) {
  for (auto _ : state) {
    zv::testing::TempDir dir;
    SeqNoCounter seqno(1), visible(1);
    tervik::TreeConfig config =
        tervik::TreeConfig::create(zv::fs::join(dir.path(), "tree"), seqno, visible)
            .with_data_block_compression_policy(tervik::CompressionPolicy::disabled())
            .use_cache(tervik::BlockCache::with_capacity_bytes(256ull << 20));
    Tree tree = *Tree::open(std::move(config));
    tervik::LeveledOptions options;
    options.target_size = kTableBytes;
    options.l0_threshold = 4;
    options.level_ratio_policy = {10.0f};
    const auto strategy = std::make_shared<tervik::compaction::Leveled>(options);
    auto compact_once = [&] {
      const uint64_t before = tree.current_version().id();
      if (!tree.compact(strategy, seqno.get()).ok()) std::abort();
      return tree.current_version().id() != before;
    };

    const uint64_t written_before = written_bytes();
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> loading{true};
    std::thread compactor([&] {
      while (loading.load()) {
        if (!compact_once()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    auto flush = [&] {
      auto guard = tree.lock_flush();
      tree.rotate_memtable();
      if (!tree.flush_sealed_memtables(seqno.get()).ok()) std::abort();
    };
    for (uint64_t i = 0; i < kKeys; ++i) {
      const std::string k = key_of(i);
      auto [item, size] = tree.append_entry(InternalValue::new_value(Slice(k), Slice(value()), seqno.next()));
      if (size >= kMemtableBytes) flush();
    }
    flush();
    loading.store(false);
    compactor.join();
    while (compact_once()) {
    }
    const double load_s = seconds_since(start);
    const double write_amp = static_cast<double>(written_bytes() - written_before) / user_bytes();

    const auto reads = std::chrono::steady_clock::now();
    uint64_t hits = 0;
    for (uint64_t r = 0; r < kReads; ++r) {
      auto got = tree.get(key_of(mix(r) % kKeys), UINT64_MAX);
      hits += got.ok() && got->has_value();
    }
    const double reads_s = seconds_since(reads);
    if (hits != kReads) state.SkipWithError("a loaded key was not found");

    // A full scan: every run's tables read in order, merged, one version per key.
    const auto scan = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<tervik::ItemSource>> sources;
    for (const auto& level : tree.current_version().levels()) {
      for (const auto& run : level->runs()) {
        sources.push_back(std::make_unique<tervik::RunScanner>(*tervik::RunScanner::create(run, 0, run->size() - 1)));
      }
    }
    tervik::CompactionStreamOptions so;
    so.gc_seqno_threshold = UINT64_MAX;
    tervik::CompactionStream<tervik::Merger<std::unique_ptr<tervik::ItemSource>>> stream(
        tervik::Merger<std::unique_ptr<tervik::ItemSource>>(std::move(sources)), so);
    uint64_t scanned = 0;
    while (auto item = stream.next()) scanned += item->ok();
    const double scan_s = seconds_since(scan);
    if (scanned != kKeys) state.SkipWithError("the scan missed keys");
    report(state, load_s, write_amp, reads_s, scanned, scan_s);
  }
}
BENCHMARK(BM_TreeCompactedLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef ZV_BENCH_ROCKSDB
void BM_RocksDbCompactedLoad(benchmark::State& state) {
  for (auto _ : state) {
    zv::testing::TempDir dir;
    rocksdb::Options o;
    o.create_if_missing = true;
    o.write_buffer_size = kMemtableBytes;
    o.target_file_size_base = kTableBytes;
    o.level0_file_num_compaction_trigger = 4;
    o.max_bytes_for_level_base = 32ull << 20;
    o.max_bytes_for_level_multiplier = 10;
    o.compression = rocksdb::kNoCompression;
    o.max_background_jobs = 2;
    o.max_background_compactions = 1;
    o.max_subcompactions = 1;
    o.statistics = rocksdb::CreateDBStatistics();
    rocksdb::BlockBasedTableOptions t;
    t.block_cache = rocksdb::NewLRUCache(256ull << 20);
    t.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
    o.table_factory.reset(rocksdb::NewBlockBasedTableFactory(t));
    rocksdb::DB* raw = nullptr;
    if (!rocksdb::DB::Open(o, dir.path() + "/rocks", &raw).ok()) std::abort();
    std::unique_ptr<rocksdb::DB> db(raw);
    rocksdb::WriteOptions wo;
    wo.disableWAL = true;

    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < kKeys; ++i) {
      if (!db->Put(wo, key_of(i), value()).ok()) std::abort();
    }
    db->Flush(rocksdb::FlushOptions());
    for (;;) {
      uint64_t pending = 1, running = 1;
      db->GetIntProperty("rocksdb.compaction-pending", &pending);
      db->GetIntProperty("rocksdb.num-running-compactions", &running);
      if (pending == 0 && running == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double load_s = seconds_since(start);
    const double written = static_cast<double>(o.statistics->getTickerCount(rocksdb::FLUSH_WRITE_BYTES) +
                                               o.statistics->getTickerCount(rocksdb::COMPACT_WRITE_BYTES));

    const auto reads = std::chrono::steady_clock::now();
    uint64_t hits = 0;
    std::string out;
    for (uint64_t r = 0; r < kReads; ++r) hits += db->Get(rocksdb::ReadOptions(), key_of(mix(r) % kKeys), &out).ok();
    const double reads_s = seconds_since(reads);
    if (hits != kReads) state.SkipWithError("a loaded key was not found");

    const auto scan = std::chrono::steady_clock::now();
    uint64_t scanned = 0;
    std::unique_ptr<rocksdb::Iterator> it(db->NewIterator(rocksdb::ReadOptions()));
    for (it->SeekToFirst(); it->Valid(); it->Next()) ++scanned;
    const double scan_s = seconds_since(scan);
    report(state, load_s, written / user_bytes(), reads_s, scanned, scan_s);
  }
}
BENCHMARK(BM_RocksDbCompactedLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

#ifdef ZV_BENCH_LMDB
void BM_LmdbLoad(benchmark::State& state) {
  for (auto _ : state) {
    zv::testing::TempDir dir;
    MDB_env* env = nullptr;
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, 4ull << 30);
    if (mdb_env_open(env, dir.path().c_str(), MDB_NOSYNC | MDB_WRITEMAP, 0644) != 0) std::abort();
    MDB_dbi dbi;
    const auto start = std::chrono::steady_clock::now();
    MDB_txn* txn = nullptr;
    for (uint64_t i = 0; i < kKeys; ++i) {
      if (txn == nullptr) {
        mdb_txn_begin(env, nullptr, 0, &txn);
        mdb_dbi_open(txn, nullptr, 0, &dbi);
      }
      std::string k = key_of(i);
      MDB_val key{k.size(), k.data()};
      MDB_val val{value().size(), const_cast<char*>(value().data())};
      if (mdb_put(txn, dbi, &key, &val, 0) != 0) std::abort();
      if (i % 10000 == 9999) {
        mdb_txn_commit(txn);
        txn = nullptr;
      }
    }
    if (txn != nullptr) mdb_txn_commit(txn);
    const double load_s = seconds_since(start);

    const auto reads = std::chrono::steady_clock::now();
    mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
    uint64_t hits = 0;
    for (uint64_t r = 0; r < kReads; ++r) {
      std::string k = key_of(mix(r) % kKeys);
      MDB_val key{k.size(), k.data()}, val;
      hits += mdb_get(txn, dbi, &key, &val) == 0;
    }
    const double reads_s = seconds_since(reads);
    mdb_txn_abort(txn);
    if (hits != kReads) state.SkipWithError("a loaded key was not found");
    report(state, load_s, 0, reads_s, 0, 0);
    mdb_env_close(env);
  }
}
BENCHMARK(BM_LmdbLoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

// The storage backend over the key-value engine against the same peers.
#include "bench/backend_peers.h"

BENCHMARK_MAIN();
