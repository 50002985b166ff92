// The key-value engine's write path: single-key inserts of 100-byte values
// under 16-byte keys at 1 and 4 threads and batch commits of 100 items, each
// through a whole database (journal, memtable, workers flushing and
// compacting behind); the two parts of one insert measured alone (a journal
// append with its Buffer persist, a memtable append); the share of time
// writers spend in write stalls under a sustained 4-thread load; and the flush
// rate of sealed memtables into level-0 tables. Files go to $ZV_BENCH_DIR
// (default: the current directory).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "morva/src/db.h"
#include "morva/src/flush.h"
#include "morva/src/journal/writer.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/memtable/memtable.h"

namespace {

using morva::Database;
using morva::DatabaseConfig;
using morva::Keyspace;

struct Dir : zv::bench::ScratchDir {
  Dir() : ScratchDir("zv-kv-write-bench-") {}
};

const std::string kValue(100, 'v');

// "t<thread>-<12 digits>": 16 bytes.
std::string key_of(int thread, uint64_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "t%d-%012llu", thread, static_cast<unsigned long long>(i % 1'000'000'000'000ull));
  return std::string(buf, 16);
}

// One database shared by the threads of a benchmark run.
struct Shared {
  std::unique_ptr<Dir> dir;
  std::optional<Database> db;
  std::optional<Keyspace> ks;
  std::chrono::steady_clock::time_point start;
};
Shared g;

void open_shared(uint64_t memtable_size) {
  g.dir = std::make_unique<Dir>();
  DatabaseConfig c(zv::fs::join(g.dir->path, "db"));
  if (zv::bench::smoke()) c.journal_preallocated_size = 8 << 20;
  c.hooks.keyspace_options = [memtable_size](std::string_view) {
    morva::KeyspaceCreateOptions o;
    o.max_memtable_size = memtable_size;
    return std::optional<morva::KeyspaceCreateOptions>(o);
  };
  auto db = Database::create_new(std::move(c));
  if (!db.ok()) std::abort();
  g.db = std::move(db).value();
  g.ks = g.db->keyspace("default").value();
  g.start = std::chrono::steady_clock::now();
}

void close_shared() {
  g.ks.reset();
  g.db.reset();
  g.dir.reset();
}

// Inserts into one keyspace whose memtables are sealed at `memtable_size`;
// reports the share of writer time spent in write stalls.
void run_inserts(benchmark::State& state, uint64_t memtable_size) {
  if (state.thread_index() == 0) open_shared(memtable_size);
  uint64_t i = 0;
  for (auto _ : state) {
    if (!g.ks->insert(key_of(state.thread_index(), i++), kValue).ok()) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    const double elapsed =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - g.start).count();
    state.counters["stall_share"] =
        static_cast<double>(g.ks->inner()->stall_nanos.load()) / (elapsed * state.threads());
    close_shared();
  }
}

void BM_Insert(benchmark::State& state) { run_inserts(state, zv::bench::sized<uint64_t>(64 << 20, 4 << 20)); }
BENCHMARK(BM_Insert)->Threads(1)->Threads(4)->UseRealTime();

void BM_BatchCommit100(benchmark::State& state) {
  if (state.thread_index() == 0) open_shared(zv::bench::sized<uint64_t>(64 << 20, 4 << 20));
  uint64_t i = 0;
  for (auto _ : state) {
    morva::Batch batch = g.db->batch();
    for (int n = 0; n < 100; ++n) batch.insert(*g.ks, key_of(state.thread_index(), i++), kValue);
    if (!batch.commit().ok()) state.SkipWithError("commit failed");
  }
  state.SetItemsProcessed(state.iterations() * 100);
  if (state.thread_index() == 0) close_shared();
}
BENCHMARK(BM_BatchCommit100)->Threads(1)->UseRealTime();

// Sustained load with small memtables, so that flushes and compactions run
// all the time: the share of writer time spent stalled.
void BM_SustainedStall(benchmark::State& state) { run_inserts(state, 1 << 20); }
BENCHMARK(BM_SustainedStall)->Threads(4)->UseRealTime()->MinTime(zv::bench::sized(3.0, 0.1));

// Part one of an insert: the journal append with its Buffer persist.
void BM_PartJournalAppend(benchmark::State& state) {
  Dir dir;
  int file_no = 0;
  auto make = [&] {
    return morva::JournalWriter::create(zv::FileSystem::os(), zv::fs::join(dir.path, morva::journal_file_name(file_no++)));
  };
  auto created = make();
  if (!created.ok()) return state.SkipWithError("cannot create journal");
  morva::JournalWriter w = std::move(created).value();
  w.set_compression(tervik::CompressionType::kLz4, 4096);
  uint64_t i = 0;
  for (auto _ : state) {
    const std::string key = key_of(0, i);
    if (!w.write_single_item(1, key, kValue, tervik::ValueType::kValue, ++i).ok() ||
        !w.persist(morva::PersistMode::kBuffer).ok()) {
      return state.SkipWithError("append failed");
    }
    if (w.position() > morva::kJournalRotationThreshold) {
      state.PauseTiming();
      const std::string old = w.path();
      auto next = make();
      if (!next.ok()) return state.SkipWithError("cannot rotate");
      w = std::move(next).value();
      (void)zv::fs::remove_file(old);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PartJournalAppend);

// Part two: the memtable append.
void BM_PartMemtableAppend(benchmark::State& state) {
  auto table = tervik::Memtable::create(1);
  uint64_t i = 0;
  for (auto _ : state) {
    const std::string key = key_of(0, i);
    table->insert(tervik::InternalValue::new_value(tervik::Slice(key), tervik::Slice(kValue), ++i));
    if (table->size() > (64u << 20)) {
      state.PauseTiming();
      table = tervik::Memtable::create(1);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PartMemtableAppend);

// Sealed memtables of Range(0) MiB flushed into level-0 tables.
void BM_FlushRate(benchmark::State& state) {
  const uint64_t bytes = static_cast<uint64_t>(state.range(0)) << 20;
  uint64_t flushed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Dir dir;
    DatabaseConfig c(zv::fs::join(dir.path, "db"));
    c.worker_threads = 0;
    c.journal_preallocated_size = 1 << 20;
    auto db = Database::create_new(std::move(c));
    if (!db.ok()) return state.SkipWithError("cannot create");
    Keyspace ks = db->keyspace("default").value();
    // Written straight into the memtable: only the flush is measured.
    uint64_t i = 0;
    while (ks.tree().index().active_memtable()->size() < bytes) {
      const std::string key = key_of(0, i);
      ks.tree().index().append_entry(tervik::InternalValue::new_value(tervik::Slice(key), tervik::Slice(kValue), ++i));
    }
    flushed += ks.tree().index().active_memtable()->size();
    (void)ks.tree().index().rotate_memtable();
    state.ResumeTiming();
    if (!morva::flush_sealed_memtables(ks, *db->state()->ctx->write_buffer_size, *db->state()->ctx->snapshots).ok()) {
      return state.SkipWithError("flush failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(flushed));
}
BENCHMARK(BM_FlushRate)->Arg(zv::bench::sized(64, 4))->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
