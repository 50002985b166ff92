// The storage backend over the key-value engine beside RocksDB and LMDB, one
// calling thread, every database in a fresh folder below $ZV_BENCH_DIR (one
// file system). Keys: 16 bytes, an 8-byte big-endian group number (10,000
// groups) and 8 random bytes, in random order; values: 100 random bytes;
// fixed seeds. Per engine: buffered single puts of all keys; all keys again
// in batches of 1,000 with one sync each; on that load, once background work
// is idle, random point reads of stored keys and, reported apart, of absent
// ones; then prefix scans of one random group each (entries/s). Durable
// single puts (put and sync) run apart, the engines taking turns in short
// slices of one time budget, with the raw fdatasync rate of the same disk as
// the ceiling. RocksDB keeps its defaults but for a 32 MiB block cache, a
// 10-bit Bloom filter, no compression on levels 0 and 1 and LZ4 below, and as
// many background jobs as the engine has workers; LMDB maps 4 GiB, commits
// one write transaction per put or batch and reads a pass in one read
// transaction. Included by the peer benchmark binary of the LSM tree.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "morva/src/db_config.h"
#include "src/backends/morva_backend.h"

#if defined(ZV_BENCH_ROCKSDB)
#include <rocksdb/db.h>
#include <rocksdb/filter_policy.h>
#include <rocksdb/table.h>
#include <rocksdb/write_batch.h>
#endif
#if defined(ZV_BENCH_LMDB)
#include <lmdb.h>
#endif

namespace zv::bench::peers {

inline const uint64_t kPeerKeys = sized<uint64_t>(1'000'000, 10'000);
inline const uint64_t kPeerReads = sized<uint64_t>(1'000'000, 10'000);
inline const uint64_t kPeerMisses = sized<uint64_t>(100'000, 1'000);
inline const uint64_t kPeerScans = sized<uint64_t>(100'000, 1'000);
inline const double kDurableBudgetSeconds = sized(12.0, 0.3);
constexpr double kDurableSliceSeconds = 0.2;
constexpr uint64_t kGroups = 10'000;
constexpr size_t kBatchSize = 1'000;
constexpr Partition kPeerPartition = Partition::kDefault;

inline double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

inline std::string group_prefix(uint64_t g) {
  std::string k(8, '\0');
  for (int i = 0; i < 8; ++i) k[i] = static_cast<char>(g >> (56 - 8 * i));
  return k;
}

// The keys in load order, the values, and absent keys, from fixed seeds.
struct PeerData {
  std::vector<std::string> keys;
  std::vector<std::string> misses;
  std::string value_pool;

  PeerData() {
    std::mt19937_64 rng(20261211);
    auto fresh_key = [&] {
      std::string k = group_prefix(rng() % kGroups);
      const uint64_t tail = rng();
      k.append(reinterpret_cast<const char*>(&tail), 8);
      return k;
    };
    keys.reserve(kPeerKeys);
    for (uint64_t i = 0; i < kPeerKeys; ++i) keys.push_back(fresh_key());
    // Absent keys: a group number no stored key has.
    for (uint64_t i = 0; i < kPeerMisses; ++i) {
      std::string k = group_prefix(kGroups + rng() % kGroups);
      const uint64_t tail = rng();
      misses.push_back(k.append(reinterpret_cast<const char*>(&tail), 8));
    }
    value_pool.resize(1 << 20);
    for (char& c : value_pool) c = static_cast<char>(rng());
  }
  std::string_view value(uint64_t i) const { return std::string_view(value_pool).substr((i * 7919) % (value_pool.size() - 100), 100); }
  // Read order: the stored keys shuffled once.
  std::vector<uint64_t> read_order(uint64_t n) const {
    std::mt19937_64 rng(7);
    std::vector<uint64_t> order(n);
    for (uint64_t& o : order) o = rng() % keys.size();
    return order;
  }
  std::vector<uint64_t> scan_groups() const {
    std::mt19937_64 rng(11);
    std::vector<uint64_t> g(kPeerScans);
    for (uint64_t& x : g) x = rng() % kGroups;
    return g;
  }
};

inline const PeerData& peer_data() {
  static const PeerData data;
  return data;
}

// One engine under test: what each phase needs of it.
class PeerEngine {
 public:
  virtual ~PeerEngine() = default;
  virtual void put(std::string_view k, std::string_view v, bool sync) = 0;
  virtual void batch(const std::vector<std::pair<std::string_view, std::string_view>>& items) = 0;
  // Returns once background work (flushes, compactions) is idle.
  virtual void settle() = 0;
  virtual bool get(std::string_view k) = 0;
  // Entries of the keys that start with `prefix`.
  virtual uint64_t scan(std::string_view prefix) = 0;
  // Opens a read view for a pass of reads; ends it.
  virtual void begin_reads() {}
  virtual void end_reads() {}
};

class MorvaPeer final : public PeerEngine {
 public:
  explicit MorvaPeer(const std::string& dir) : b_(std::move(MorvaBackend::open(dir, Config{})).value()) {}
  void put(std::string_view k, std::string_view v, bool sync) override {
    if (!b_->put(kPeerPartition, k, v).ok()) std::abort();
    if (sync && !b_->flush().ok()) std::abort();
  }
  void batch(const std::vector<std::pair<std::string_view, std::string_view>>& items) override {
    std::vector<BatchOp> ops;
    ops.reserve(items.size());
    for (auto& [k, v] : items) ops.push_back(BatchOp::put(kPeerPartition, std::string(k), std::string(v)));
    if (!b_->write_batch(std::move(ops)).ok() || !b_->flush().ok()) std::abort();
  }
  void settle() override {
    const tervik::Tree& tree = b_->keyspace(kPeerPartition).tree().index();
    uint64_t stable_since_id = 0;
    auto stable_from = std::chrono::steady_clock::now();
    for (;;) {
      const uint64_t id = tree.current_version().id();
      if (id != stable_since_id || tree.sealed_memtable_count() > 0) {
        stable_since_id = id;
        stable_from = std::chrono::steady_clock::now();
      } else if (since(stable_from) > 0.5) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool get(std::string_view k) override {
    auto r = b_->get(kPeerPartition, k);
    if (!r.ok()) std::abort();
    return r->has_value();
  }
  uint64_t scan(std::string_view prefix) override {
    auto it = std::move(b_->prefix_iter(kPeerPartition, prefix)).value();
    uint64_t n = 0;
    while (auto item = it->next()) n += item->ok();
    return n;
  }

 private:
  std::shared_ptr<MorvaBackend> b_;
};

#if defined(ZV_BENCH_ROCKSDB)
class RocksPeer final : public PeerEngine {
 public:
  explicit RocksPeer(const std::string& dir) {
    rocksdb::Options o;
    o.create_if_missing = true;
    o.max_background_jobs = static_cast<int>(morva::DatabaseConfig(dir).worker_threads);
    o.compression_per_level = {rocksdb::kNoCompression, rocksdb::kNoCompression, rocksdb::kLZ4Compression,
                               rocksdb::kLZ4Compression, rocksdb::kLZ4Compression, rocksdb::kLZ4Compression,
                               rocksdb::kLZ4Compression};
    rocksdb::BlockBasedTableOptions t;
    t.block_cache = rocksdb::NewLRUCache(32ull << 20);
    t.filter_policy.reset(rocksdb::NewBloomFilterPolicy(10));
    o.table_factory.reset(rocksdb::NewBlockBasedTableFactory(t));
    rocksdb::DB* raw = nullptr;
    if (!rocksdb::DB::Open(o, dir, &raw).ok()) std::abort();
    db_.reset(raw);
  }
  void put(std::string_view k, std::string_view v, bool sync) override {
    rocksdb::WriteOptions wo;
    wo.sync = sync;
    if (!db_->Put(wo, rocksdb::Slice(k.data(), k.size()), rocksdb::Slice(v.data(), v.size())).ok()) std::abort();
  }
  void batch(const std::vector<std::pair<std::string_view, std::string_view>>& items) override {
    rocksdb::WriteBatch wb;
    for (auto& [k, v] : items) wb.Put(rocksdb::Slice(k.data(), k.size()), rocksdb::Slice(v.data(), v.size()));
    rocksdb::WriteOptions wo;
    wo.sync = true;
    if (!db_->Write(wo, &wb).ok()) std::abort();
  }
  void settle() override {
    for (;;) {
      uint64_t pending = 1, running = 1, flushes = 1;
      db_->GetIntProperty("rocksdb.compaction-pending", &pending);
      db_->GetIntProperty("rocksdb.num-running-compactions", &running);
      db_->GetIntProperty("rocksdb.num-running-flushes", &flushes);
      if (pending == 0 && running == 0 && flushes == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool get(std::string_view k) override {
    std::string out;
    return db_->Get(rocksdb::ReadOptions(), rocksdb::Slice(k.data(), k.size()), &out).ok();
  }
  uint64_t scan(std::string_view prefix) override {
    std::unique_ptr<rocksdb::Iterator> it(db_->NewIterator(rocksdb::ReadOptions()));
    const rocksdb::Slice p(prefix.data(), prefix.size());
    uint64_t n = 0;
    for (it->Seek(p); it->Valid() && it->key().starts_with(p); it->Next()) {
      benchmark::DoNotOptimize(it->value().data());
      ++n;
    }
    return n;
  }

 private:
  std::unique_ptr<rocksdb::DB> db_;
};
#endif

#if defined(ZV_BENCH_LMDB)
class LmdbPeer final : public PeerEngine {
 public:
  LmdbPeer(const std::string& dir, bool sync) {
    mdb_env_create(&env_);
    mdb_env_set_mapsize(env_, 4ull << 30);
    if (mdb_env_open(env_, dir.c_str(), sync ? 0 : MDB_NOSYNC, 0644) != 0) std::abort();
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env_, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi_);
    mdb_txn_commit(txn);
  }
  ~LmdbPeer() override {
    end_reads();
    mdb_env_close(env_);
  }
  void put(std::string_view k, std::string_view v, bool) override { batch({{k, v}}); }
  void batch(const std::vector<std::pair<std::string_view, std::string_view>>& items) override {
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_, nullptr, 0, &txn) != 0) std::abort();
    for (auto& [k, v] : items) {
      MDB_val key{k.size(), const_cast<char*>(k.data())}, val{v.size(), const_cast<char*>(v.data())};
      if (mdb_put(txn, dbi_, &key, &val, 0) != 0) std::abort();
    }
    if (mdb_txn_commit(txn) != 0) std::abort();
  }
  void settle() override {}
  void begin_reads() override { mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_); }
  void end_reads() override {
    if (read_ != nullptr) mdb_txn_abort(std::exchange(read_, nullptr));
  }
  bool get(std::string_view k) override {
    MDB_val key{k.size(), const_cast<char*>(k.data())}, val;
    return mdb_get(read_, dbi_, &key, &val) == 0;
  }
  uint64_t scan(std::string_view prefix) override {
    MDB_cursor* c = nullptr;
    mdb_cursor_open(read_, dbi_, &c);
    MDB_val key{prefix.size(), const_cast<char*>(prefix.data())}, val;
    uint64_t n = 0;
    for (int rc = mdb_cursor_get(c, &key, &val, MDB_SET_RANGE); rc == 0;
         rc = mdb_cursor_get(c, &key, &val, MDB_NEXT)) {
      if (key.mv_size < prefix.size() || std::memcmp(key.mv_data, prefix.data(), prefix.size()) != 0) break;
      benchmark::DoNotOptimize(val.mv_data);
      ++n;
    }
    mdb_cursor_close(c);
    return n;
  }

 private:
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
  MDB_txn* read_ = nullptr;
};
#endif

enum PeerKind : int64_t { kMorvaPeer = 0, kRocksPeer = 1, kLmdbPeer = 2 };

// A fresh engine of `kind` in `dir`, or null when this build lacks it.
inline std::unique_ptr<PeerEngine> make_peer(int64_t kind, const std::string& dir, bool sync) {
  switch (kind) {
    case kMorvaPeer: return std::make_unique<MorvaPeer>(dir);
#if defined(ZV_BENCH_ROCKSDB)
    case kRocksPeer: return std::make_unique<RocksPeer>(dir);
#endif
#if defined(ZV_BENCH_LMDB)
    case kLmdbPeer: return std::make_unique<LmdbPeer>(dir, sync);
#endif
    default: return nullptr;
  }
}

inline const char* peer_name(int64_t kind) {
  return kind == kMorvaPeer ? "morva" : kind == kRocksPeer ? "rocksdb" : "lmdb";
}

// Buffered single puts, then batches with one sync each, then reads and
// prefix scans on the batch load.
inline void BM_PeerLoadReadScan(benchmark::State& state) {
  const PeerData& data = peer_data();
  for (auto _ : state) {
    state.SetLabel(peer_name(state.range(0)));
    {
      ScratchDir dir("peer_puts_");
      auto engine = make_peer(state.range(0), dir.path, false);
      if (!engine) {
        state.SkipWithError("engine not in this build");
        return;
      }
      const auto t = std::chrono::steady_clock::now();
      for (uint64_t i = 0; i < data.keys.size(); ++i) engine->put(data.keys[i], data.value(i), false);
      state.counters["puts_per_s"] = double(data.keys.size()) / since(t);
    }
    ScratchDir dir("peer_batches_");
    auto engine = make_peer(state.range(0), dir.path, true);
    const auto t = std::chrono::steady_clock::now();
    std::vector<std::pair<std::string_view, std::string_view>> items;
    for (uint64_t i = 0; i < data.keys.size(); ++i) {
      items.emplace_back(data.keys[i], data.value(i));
      if (items.size() == kBatchSize || i + 1 == data.keys.size()) {
        engine->batch(items);
        items.clear();
      }
    }
    state.counters["batch_puts_per_s"] = double(data.keys.size()) / since(t);
    engine->settle();

    const std::vector<uint64_t> order = data.read_order(kPeerReads);
    engine->begin_reads();
    auto r = std::chrono::steady_clock::now();
    uint64_t hits = 0;
    for (uint64_t i : order) hits += engine->get(data.keys[i]);
    state.counters["gets_per_s"] = double(order.size()) / since(r);
    if (hits != order.size()) state.SkipWithError("a stored key was not found");
    r = std::chrono::steady_clock::now();
    uint64_t false_hits = 0;
    for (const std::string& k : data.misses) false_hits += engine->get(k);
    state.counters["misses_per_s"] = double(data.misses.size()) / since(r);
    if (false_hits != 0) state.SkipWithError("an absent key was found");
    r = std::chrono::steady_clock::now();
    uint64_t entries = 0;
    for (uint64_t g : data.scan_groups()) entries += engine->scan(group_prefix(g));
    state.counters["scanned_per_s"] = double(entries) / since(r);
    engine->end_reads();
  }
}

// Durable single puts: every engine in its own folder, taking turns in
// slices of the budget; the raw fdatasync rate of a file in the same place
// is the ceiling.
inline void BM_PeerDurablePuts(benchmark::State& state) {
  const PeerData& data = peer_data();
  for (auto _ : state) {
    std::vector<std::unique_ptr<ScratchDir>> dirs;
    std::vector<std::unique_ptr<PeerEngine>> engines;
    std::vector<int64_t> kinds;
    for (int64_t kind : {kMorvaPeer, kRocksPeer, kLmdbPeer}) {
      dirs.push_back(std::make_unique<ScratchDir>("peer_durable_"));
      if (auto e = make_peer(kind, dirs.back()->path, true)) {
        engines.push_back(std::move(e));
        kinds.push_back(kind);
      }
    }
    // The ceiling writes in place into a preallocated file, as a journal
    // does, so that each sync flushes data only.
    ScratchDir raw_dir("peer_fdatasync_");
    const int fd = ::open((raw_dir.path + "/f").c_str(), O_CREAT | O_WRONLY, 0644);
    constexpr off_t kRawFileBytes = 64 << 20;
    if (fd < 0 || ::posix_fallocate(fd, 0, kRawFileBytes) != 0 || ::fsync(fd) != 0) std::abort();
    off_t raw_offset = 0;
    std::vector<uint64_t> ops(engines.size() + 1, 0);
    std::vector<double> seconds(engines.size() + 1, 0);
    uint64_t next_key = 0;
    const double slice = std::min(kDurableSliceSeconds, kDurableBudgetSeconds / 4);
    for (double spent = 0; spent < kDurableBudgetSeconds;) {
      for (size_t e = 0; e <= engines.size(); ++e) {
        const auto t = std::chrono::steady_clock::now();
        while (since(t) < slice) {
          const uint64_t i = next_key++ % data.keys.size();
          if (e == engines.size()) {
            if (::pwrite(fd, data.value(i).data(), 100, raw_offset) != 100 || ::fdatasync(fd) != 0) std::abort();
            raw_offset = (raw_offset + 128) % kRawFileBytes;
          } else {
            engines[e]->put(data.keys[i], data.value(i), true);
          }
          ++ops[e];
        }
        seconds[e] += since(t);
        spent += since(t);
      }
    }
    ::close(fd);
    for (size_t e = 0; e < engines.size(); ++e)
      state.counters[std::string(peer_name(kinds[e])) + "_per_s"] = double(ops[e]) / seconds[e];
    state.counters["fdatasync_per_s"] = double(ops.back()) / seconds.back();
  }
}

BENCHMARK(BM_PeerLoadReadScan)
    ->Arg(kMorvaPeer)
#if defined(ZV_BENCH_ROCKSDB)
    ->Arg(kRocksPeer)
#endif
#if defined(ZV_BENCH_LMDB)
    ->Arg(kLmdbPeer)
#endif
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PeerDurablePuts)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace zv::bench::peers
