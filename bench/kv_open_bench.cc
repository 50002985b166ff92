// Opening a key-value engine database again: the replay of an active journal
// of 64 MB of 100-byte values, of four sealed journals of that size whose
// memtables were never flushed, and the open of ten keyspaces with nothing
// to replay, and the first open of a new folder creating ten keyspaces.
// Each reports its open time and replay rate (entries/s) beside
// the rate of writing the same entries one by one through Keyspace::insert
// on one thread in the same run. RocksDB reopening with the same entries in
// its write-ahead log (its memtable never flushed) runs beside when its
// Debian package is installed. Files go to $ZV_BENCH_DIR (default: the
// current directory).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "morva/src/db.h"
#include "morva/src/lock.h"
#include "platform/fs.h"

#ifdef ZV_BENCH_ROCKSDB
#include <rocksdb/db.h>
#endif

namespace {

using morva::Database;
using morva::DatabaseConfig;
using Clock = std::chrono::steady_clock;

const std::string kValue(100, 'v');
const uint64_t kJournalBytes = zv::bench::sized<uint64_t>(64ull << 20, 2ull << 20);

std::string key_of(uint64_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "key-%012llu", static_cast<unsigned long long>(i));
  return std::string(buf, 16);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Memtables that never fill and no workers: everything written stays in the
// journals.
DatabaseConfig unflushed_config(const std::string& path, size_t workers) {
  DatabaseConfig c(path);
  c.worker_threads = workers;
  c.hooks.keyspace_options = [](std::string_view) {
    morva::KeyspaceCreateOptions o;
    o.max_memtable_size = uint64_t{1} << 40;
    return std::optional<morva::KeyspaceCreateOptions>(o);
  };
  return c;
}

// Seals the active journal and continues in a new one, as the workers'
// rotation does.
void rotate_journal(const Database& db) {
  morva::WorkerContext& ctx = *db.state()->ctx;
  auto writer = ctx.journal->lock();
  auto manager = morva::write_unpoisoned(ctx.journal_manager->lock);
  if (!writer.ok() || !morva::rotate_journal(**writer, ctx.journal_manager->manager, {}).ok()) std::abort();
}

// A database in a scratch folder whose journals hold `journals` times
// kJournalBytes of entries: the last of them active, the others sealed, or
// all sealed behind an empty active journal.
struct Filled {
  zv::bench::ScratchDir dir{"zv-kv-open-bench-"};
  std::string path = zv::fs::join(dir.path, "db");
  uint64_t entries = 0;
  double insert_rate = 0;

  Filled(int journals, bool seal_all) {
    auto db = Database::create_new(unflushed_config(path, 0));
    if (!db.ok()) std::abort();
    morva::Keyspace ks = db->keyspace("default").value();
    const Clock::time_point start = Clock::now();
    for (int j = 0; j < journals; ++j) {
      if (j > 0) rotate_journal(*db);
      for (uint64_t position = 0; position < kJournalBytes;) {
        for (int n = 0; n < 1000; ++n) {
          if (!ks.insert(key_of(entries++), kValue).ok()) std::abort();
        }
        position = (*db->state()->ctx->journal->lock())->position();
      }
    }
    insert_rate = static_cast<double>(entries) / seconds_since(start);
    if (seal_all) rotate_journal(*db);
  }
};

// The entries of the active-journal benchmark, written to RocksDB as well.
uint64_t g_active_entries = 0;

void report(benchmark::State& state, uint64_t entries, double open_seconds, uint64_t opens, double insert_rate) {
  const double per_open = open_seconds / static_cast<double>(opens);
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["open_ms"] = per_open * 1e3;
  state.counters["replay_rate"] = static_cast<double>(entries) / per_open;
  if (insert_rate > 0) state.counters["insert_rate"] = insert_rate;
}

void open_repeatedly(benchmark::State& state, const std::string& path, size_t workers, uint64_t entries,
                     double insert_rate) {
  double total = 0;
  uint64_t opens = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    auto db = Database::open(unflushed_config(path, workers));
    const double took = seconds_since(start);
    if (!db.ok()) {
      state.SkipWithError(db.error().to_string().c_str());
      return;
    }
    state.SetIterationTime(took);
    total += took;
    ++opens;
  }
  report(state, entries, total, opens, insert_rate);
}

void BM_OpenActiveJournal(benchmark::State& state) {
  Filled filled(1, false);
  g_active_entries = filled.entries;
  open_repeatedly(state, filled.path, 4, filled.entries, filled.insert_rate);
}
BENCHMARK(BM_OpenActiveJournal)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// No workers on open, so the sealed memtables are not flushed away between
// the opens.
void BM_OpenFourSealedJournals(benchmark::State& state) {
  Filled filled(4, true);
  open_repeatedly(state, filled.path, 0, filled.entries, filled.insert_rate);
}
BENCHMARK(BM_OpenFourSealedJournals)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_OpenTenKeyspacesNothingToReplay(benchmark::State& state) {
  zv::bench::ScratchDir dir("zv-kv-open-bench-");
  const std::string path = zv::fs::join(dir.path, "db");
  {
    auto db = Database::create_new(unflushed_config(path, 0));
    if (!db.ok()) std::abort();
    for (int i = 0; i < 10; ++i) (void)db->keyspace("keyspace" + std::to_string(i)).value();
  }
  open_repeatedly(state, path, 4, 0, 0);
}
BENCHMARK(BM_OpenTenKeyspacesNothingToReplay)->Iterations(zv::bench::sized(20, 3))->UseManualTime()->Unit(benchmark::kMillisecond);

// The first open of a new database folder with the default four workers:
// creating it and its ten keyspaces, then closing it.
void BM_CreateTenKeyspaces(benchmark::State& state) {
  int round = 0;
  for (auto _ : state) {
    zv::bench::ScratchDir dir("zv-kv-create-bench-");
    const std::string path = zv::fs::join(dir.path, "db" + std::to_string(round++));
    const Clock::time_point start = Clock::now();
    {
      auto db = Database::create_new(DatabaseConfig(path));
      if (!db.ok()) std::abort();
      for (int i = 0; i < 10; ++i) (void)db->keyspace("keyspace" + std::to_string(i)).value();
    }
    state.SetIterationTime(seconds_since(start));
  }
}
BENCHMARK(BM_CreateTenKeyspaces)->Iterations(zv::bench::sized(10, 2))->UseManualTime()->Unit(benchmark::kMillisecond);

#ifdef ZV_BENCH_ROCKSDB
// The same entries in RocksDB's write-ahead log, its memtable never flushed
// (nor on shutdown, nor after the replay), reopened.
void BM_RocksDbOpenWal(benchmark::State& state) {
  zv::bench::ScratchDir dir("zv-kv-open-bench-rocks-");
  const std::string path = zv::fs::join(dir.path, "rocks");
  rocksdb::Options o;
  o.create_if_missing = true;
  o.write_buffer_size = 4ull << 30;
  o.max_write_buffer_number = 2;
  o.avoid_flush_during_shutdown = true;
  o.avoid_flush_during_recovery = true;
  o.disable_auto_compactions = true;
  uint64_t entries = 0;
  double insert_rate = 0;
  {
    rocksdb::DB* raw = nullptr;
    if (!rocksdb::DB::Open(o, path, &raw).ok()) std::abort();
    std::unique_ptr<rocksdb::DB> db(raw);
    const uint64_t target = g_active_entries > 0 ? g_active_entries : kJournalBytes / 140;
    const Clock::time_point start = Clock::now();
    for (; entries < target; ++entries) {
      if (!db->Put(rocksdb::WriteOptions(), key_of(entries), kValue).ok()) std::abort();
    }
    insert_rate = static_cast<double>(entries) / seconds_since(start);
    if (!db->Close().ok()) std::abort();
  }
  double total = 0;
  uint64_t opens = 0;
  for (auto _ : state) {
    rocksdb::DB* raw = nullptr;
    const Clock::time_point start = Clock::now();
    if (!rocksdb::DB::Open(o, path, &raw).ok()) std::abort();
    const double took = seconds_since(start);
    std::unique_ptr<rocksdb::DB> db(raw);
    state.SetIterationTime(took);
    total += took;
    ++opens;
    if (!db->Close().ok()) std::abort();
  }
  report(state, entries, total, opens, insert_rate);
}
BENCHMARK(BM_RocksDbOpenWal)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
