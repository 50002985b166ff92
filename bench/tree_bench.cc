// The LSM tree's write path, flush and point reads: one-thread writes of
// random and sequential keys followed by a rotation and a flush, point reads
// of flushed keys (hits and misses) and of keys still in the active memtable,
// appends from 1, 4 and 8 threads, and the worst and mean wait of a point
// read and of an append while registrations install versions (each persist
// syncs a file and its folder). 16-byte keys, 100-byte values, no
// compression, 4 KiB blocks, 10-bit Bloom filters, a 256 MiB block cache.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_smoke.h"
#include "platform/testing/temp_dir.h"
#include "tervik/tree/tree.h"

namespace {

using tervik::InternalValue;
using tervik::SeqNoCounter;
using tervik::Slice;
using tervik::Tree;

const uint64_t kKeys = zv::bench::sized<uint64_t>(1000000, 20000);
// Appends of one run, shared among its threads: every thread count fills a
// memtable of the same size, whose depth sets the cost of an insert.
const int64_t kAppendsPerRun = zv::bench::sized<int64_t>(1600000, 40000);
const double kWaitSeconds = zv::bench::sized(1.0, 0.05);

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// Key i: 16 hex digits, scattered (random) or in order (sequential). Misses
// use indices past kKeys.
Slice key_of(uint64_t i, bool scattered) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(scattered ? mix(i) : i));
  return Slice(std::string_view(buf, 16));
}

const Slice& value() {
  static const Slice v(std::string(100, 'v'));
  return v;
}

// A tree in a fresh folder with its own counters.
struct BenchTree {
  BenchTree() : tree(open(dir.path(), seqno, visible)) {}
  static Tree open(const std::string& path, const SeqNoCounter& seqno, const SeqNoCounter& visible) {
    tervik::TreeConfig config =
        tervik::TreeConfig::create(zv::fs::join(path, "tree"), seqno, visible)
            .with_data_block_compression_policy(tervik::CompressionPolicy::disabled())
            .with_data_block_size_policy(tervik::BlockSizePolicy::all(4096))
            .use_cache(tervik::BlockCache::with_capacity_bytes(256ull << 20));
    auto t = Tree::open(std::move(config));
    if (!t.ok()) std::abort();
    return *t;
  }
  void write(uint64_t n, bool scattered) {
    for (uint64_t i = 0; i < n; ++i) tree.append_entry(InternalValue::new_value(key_of(i, scattered), value(), seqno.next()));
  }
  bool flush() {
    auto guard = tree.lock_flush();
    tree.rotate_memtable();
    return tree.flush_sealed_memtables(0).ok();
  }

  zv::testing::TempDir dir;
  SeqNoCounter seqno{1};
  SeqNoCounter visible{1};
  Tree tree;
};

// Writes kKeys entries, then seals and flushes them into synced, registered
// tables.
void BM_TreeWriteAndFlush(benchmark::State& state) {
  const bool scattered = state.range(0) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto t = std::make_unique<BenchTree>();
    state.ResumeTiming();
    t->write(kKeys, scattered);
    if (!t->flush()) state.SkipWithError("flush failed");
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kKeys));
  state.SetLabel(scattered ? "random" : "sequential");
}

// A tree of kKeys random keys, flushed once; shared by the read rows.
BenchTree& flushed_tree() {
  static BenchTree* t = [] {
    auto* b = new BenchTree();
    b->write(kKeys, true);
    if (!b->flush()) std::abort();
    return b;
  }();
  return *t;
}

void BM_TreeGetFlushed(benchmark::State& state) {
  BenchTree& t = flushed_tree();
  const bool hits = state.range(0) != 0;
  const uint64_t snapshot = t.seqno.get();
  uint64_t i = 12345, found = 0;
  for (auto _ : state) {
    i = i * 6364136223846793005ULL + 1442695040888963407ULL;
    const uint64_t k = (i >> 20) % kKeys + (hits ? 0 : kKeys);
    auto r = t.tree.get(key_of(k, true).view(), snapshot);
    found += r.ok() && r->has_value();
  }
  if (found != (hits ? static_cast<uint64_t>(state.iterations()) : 0)) state.SkipWithError("wrong answers");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(hits ? "hits" : "misses");
}

// Point reads of keys that are all still in the active memtable.
void BM_TreeGetMemtable(benchmark::State& state) {
  static BenchTree* t = [] {
    auto* b = new BenchTree();
    b->write(kKeys, true);
    return b;
  }();
  const uint64_t snapshot = t->seqno.get();
  uint64_t i = 777, found = 0;
  for (auto _ : state) {
    i = i * 6364136223846793005ULL + 1442695040888963407ULL;
    auto r = t->tree.get(key_of((i >> 20) % kKeys, true).view(), snapshot);
    found += r.ok() && r->has_value();
  }
  if (found != static_cast<uint64_t>(state.iterations())) state.SkipWithError("missing key");
  state.SetItemsProcessed(state.iterations());
}

BenchTree* g_append_tree = nullptr;

// Appends of distinct random keys from several threads into one tree.
void BM_TreeAppend(benchmark::State& state) {
  if (state.thread_index() == 0) g_append_tree = new BenchTree();
  uint64_t i = static_cast<uint64_t>(state.thread_index()) << 40;
  for (auto _ : state) {
    g_append_tree->tree.append_entry(InternalValue::new_value(key_of(i++, true), value(), g_append_tree->seqno.next()));
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    delete g_append_tree;
    g_append_tree = nullptr;
  }
}

// One thread installs versions back to back (registrations of no tables:
// each persists and syncs a version) while this one reads, or appends; the
// counters give the worst and mean wait of one operation in microseconds and
// how many waited over 1 ms. Range(1) 0 runs the same loop without installs:
// on a busy machine its worst wait is what preemption alone costs.
void BM_TreeWaitDuringInstalls(benchmark::State& state) {
  const bool reads = state.range(0) != 0;
  const bool installing = state.range(1) != 0;
  BenchTree& t = flushed_tree();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> installs{0};
  std::thread installer([&] {
    while (installing && !stop.load()) {
      if (!t.tree.register_tables({}, std::nullopt, std::nullopt, {}, t.seqno.get()).ok()) std::abort();
      installs.fetch_add(1);
    }
  });
  double worst = 0, total = 0;
  uint64_t i = 99, n = 0, over_1ms = 0;
  for (auto _ : state) {
    i = i * 6364136223846793005ULL + 1442695040888963407ULL;
    const auto start = std::chrono::steady_clock::now();
    if (reads) {
      benchmark::DoNotOptimize(t.tree.get(key_of((i >> 20) % kKeys, true).view(), t.seqno.get()));
    } else {
      t.tree.append_entry(InternalValue::new_value(key_of((i >> 20) % kKeys + 2 * kKeys, true), value(), t.seqno.next()));
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    worst = std::max(worst, us);
    total += us;
    over_1ms += us > 1000.0;
    ++n;
  }
  stop.store(true);
  installer.join();
  state.counters["worst_us"] = worst;
  state.counters["mean_us"] = n ? total / static_cast<double>(n) : 0;
  state.counters["over_1ms"] = static_cast<double>(over_1ms);
  state.counters["installs"] = static_cast<double>(installs.load());
  state.SetLabel(std::string(reads ? "get" : "append_entry") + (installing ? "" : ", no installs"));
}

}  // namespace

BENCHMARK(BM_TreeWriteAndFlush)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TreeGetFlushed)->Arg(1)->Arg(0);
BENCHMARK(BM_TreeGetMemtable);
BENCHMARK(BM_TreeAppend)->Threads(1)->Iterations(kAppendsPerRun)->UseRealTime();
BENCHMARK(BM_TreeAppend)->Threads(4)->Iterations(kAppendsPerRun / 4)->UseRealTime();
BENCHMARK(BM_TreeAppend)->Threads(8)->Iterations(kAppendsPerRun / 8)->UseRealTime();
BENCHMARK(BM_TreeWaitDuringInstalls)->Args({1, 1})->Args({0, 1})->Args({1, 0})->Args({0, 0})->MinTime(kWaitSeconds)->UseRealTime();

BENCHMARK_MAIN();
