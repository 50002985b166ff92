// Appends per second of the write-ahead log, next to the raw rate of the same
// sync call on the same file system: a loop that appends 4 KiB to a growing
// file and forces it to disk each time. Files go to $ZV_BENCH_DIR (default:
// the current directory); run it on the disk the database would use, since on
// tmpfs or an overlay the sync costs nothing and the ratio means nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_smoke.h"

#include "platform/file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "src/wal/sharded_wal.h"

namespace {

std::string bench_dir() {
  const char* d = std::getenv("ZV_BENCH_DIR");
  std::string root = d && *d ? d : ".";
  return zv::fs::join(root, "zv-wal-bench-" + std::to_string(zv::os_random_u64() % 1000000));
}

struct Dir {
  std::string path = bench_dir();
  Dir() { (void)zv::fs::create_dir_all(path); }
  ~Dir() { (void)zv::fs::remove_dir_all(path); }
};

void BM_RawSync4KiB(benchmark::State& state) {
  Dir dir;
  auto file = zv::File::create(zv::fs::join(dir.path, "raw"));
  if (!file.ok()) return state.SkipWithError("cannot create file");
  const std::string block(4096, 'r');
  uint64_t off = 0;
  for (auto _ : state) {
    if (!file->write_all_at(block.data(), block.size(), off).ok() || !file->sync_data().ok())
      return state.SkipWithError("write failed");
    off += block.size();
  }
  state.SetItemsProcessed(state.iterations());
}

// Range(0): payload bytes; Range(1): sync_every (0 = unset: every append);
// Range(2): records per call (1 = single appends).
void BM_WalAppend(benchmark::State& state) {
  Dir dir;
  zv::wal::ShardedWalOptions o;
  if (state.range(1) > 0) o.sync_every = static_cast<uint64_t>(state.range(1));
  auto log = zv::wal::ShardedWal::open(zv::fs::join(dir.path, "zolva.wal"), 4, o);
  if (!log.ok()) return state.SkipWithError("cannot open log");
  const std::string payload(static_cast<size_t>(state.range(0)), 'p');
  const size_t per_call = static_cast<size_t>(state.range(2));
  std::vector<std::string_view> batch(per_call, payload);
  for (auto _ : state) {
    auto st = per_call == 1 ? (*log)->append(payload) : (*log)->append_batch(batch);
    if (!st.ok()) return state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(per_call));
}

// The same two loops interleaved, one raw sync and one log append per
// iteration, so that both see the same disk load: the ratio of the log's
// per-append rate to the raw rate, robust to a shared disk's drift.
// Range(0): payload bytes.
void BM_WalVsRawInterleaved(benchmark::State& state) {
  Dir dir;
  auto raw = zv::File::create(zv::fs::join(dir.path, "raw"));
  auto log = zv::wal::ShardedWal::open(zv::fs::join(dir.path, "zolva.wal"), 4, {});
  if (!raw.ok() || !log.ok()) return state.SkipWithError("cannot create files");
  const std::string block(4096, 'r');
  const std::string payload(static_cast<size_t>(state.range(0)), 'p');
  uint64_t off = 0, raw_ns = 0, wal_ns = 0;
  for (auto _ : state) {
    const uint64_t t0 = zv::monotonic_ns();
    if (!raw->write_all_at(block.data(), block.size(), off).ok() || !raw->sync_data().ok())
      return state.SkipWithError("write failed");
    off += block.size();
    const uint64_t t1 = zv::monotonic_ns();
    if (!(*log)->append(payload).ok()) return state.SkipWithError("append failed");
    wal_ns += zv::monotonic_ns() - t1;
    raw_ns += t1 - t0;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["raw_per_s"] = n * 1e9 / static_cast<double>(raw_ns);
  state.counters["wal_per_s"] = n * 1e9 / static_cast<double>(wal_ns);
  state.counters["ratio"] = static_cast<double>(raw_ns) / static_cast<double>(wal_ns);
}

// Durable appends from 4 threads for a fixed time, with a checkpoint every
// Range(0) ms (0: none) at the positions handed out so far, and shard files
// rotating at Range(1) KiB. Counters: appends per second, the worst single
// append's wait in ms, and the rotations the checkpoints made.
void BM_WalThreadsWithCheckpoints(benchmark::State& state) {
  constexpr int kThreads = 4;
  const auto run_for = std::chrono::milliseconds(zv::bench::sized(3000, 200));
  const int64_t every_ms = state.range(0);
  for (auto _ : state) {
    Dir dir;
    zv::wal::ShardedWalOptions o;
    o.max_file_size = static_cast<uint64_t>(state.range(1)) * 1024;
    auto log = zv::wal::ShardedWal::open(zv::fs::join(dir.path, "zolva.wal"), 4, o);
    if (!log.ok()) return state.SkipWithError("cannot open log");
    std::atomic<bool> stop{false}, failed{false};
    std::atomic<uint64_t> appends{0}, worst_ns{0}, rotations{0};
    zv::wal::CheckpointStore store = [&](uint64_t cp) -> zv::ZolvaStatus {
      if (cp == 0) rotations.fetch_add(1);
      return {};
    };
    const std::string payload(256, 'p');
    std::vector<std::thread> threads;
    const uint64_t t0 = zv::monotonic_ns();
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        uint64_t worst = 0, n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
          const uint64_t a = zv::monotonic_ns();
          if (!(*log)->append(payload).ok()) failed.store(true);
          worst = std::max(worst, zv::monotonic_ns() - a);
          ++n;
        }
        appends.fetch_add(n);
        for (uint64_t w = worst_ns.load(); w < worst && !worst_ns.compare_exchange_weak(w, worst);) {
        }
      });
    }
    std::thread checkpointer([&] {
      while (every_ms > 0 && !stop.load()) {
        zv::sleep_ms(static_cast<uint64_t>(every_ms));
        if (!(*log)->checkpoint((*log)->positions_handed_out(), store).ok()) failed.store(true);
      }
    });
    std::this_thread::sleep_for(run_for);
    stop.store(true);
    for (auto& th : threads) th.join();
    checkpointer.join();
    const double secs = static_cast<double>(zv::monotonic_ns() - t0) / 1e9;
    if (failed.load()) return state.SkipWithError("append or checkpoint failed");
    state.counters["appends_per_s"] = static_cast<double>(appends.load()) / secs;
    state.counters["max_wait_ms"] = static_cast<double>(worst_ns.load()) / 1e6;
    state.counters["rotations"] = static_cast<double>(rotations.load());
  }
}

BENCHMARK(BM_WalThreadsWithCheckpoints)
    ->ArgNames({"checkpoint_ms", "rotate_kib"})
    ->Args({0, 262144})  // no checkpoints
    ->Args({10, 262144})  // checkpoints every 10 ms, no rotation
    ->Args({10, 1024})    // checkpoints every 10 ms, rotating at 1 MiB
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_WalVsRawInterleaved)->ArgName("payload")->Arg(256)->Arg(4000)->MinTime(zv::bench::sized(3.0, 0.01))->UseRealTime();
BENCHMARK(BM_RawSync4KiB)->MinTime(zv::bench::sized(2.0, 0.01))->UseRealTime();
BENCHMARK(BM_WalAppend)
    ->ArgNames({"payload", "sync_every", "per_call"})
    ->Args({256, 0, 1})      // sync every append (the default)
    ->Args({4000, 0, 1})
    ->Args({256, 64, 1})     // ZIVIROR_FLUSH_THRESHOLD=64
    ->Args({256, 0, 1000})   // batch appends of 1,000
    ->MinTime(zv::bench::sized(2.0, 0.01))
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
