// Appends per second of the write-ahead log, next to the raw rate of the same
// sync call on the same file system: a loop that appends 4 KiB to a growing
// file and forces it to disk each time. Files go to $ZV_BENCH_DIR (default:
// the current directory); run it on the disk the database would use, since on
// tmpfs or an overlay the sync costs nothing and the ratio means nothing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

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

BENCHMARK(BM_WalVsRawInterleaved)->ArgName("payload")->Arg(256)->Arg(4000)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RawSync4KiB)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_WalAppend)
    ->ArgNames({"payload", "sync_every", "per_call"})
    ->Args({256, 0, 1})      // sync every append (the default)
    ->Args({4000, 0, 1})
    ->Args({256, 64, 1})     // ZIVIROR_FLUSH_THRESHOLD=64
    ->Args({256, 0, 1000})   // batch appends of 1,000
    ->MinTime(2.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
