// Versions: persist and recover a version of 1,000 tables over 7 levels,
// find_for_snapshot over lists of super versions, persist and publish (persist
// with its syncs included), and how long a point read's super-version lookup
// waits while versions are installed (persisted with no lock held, then
// published under the exclusive lock).
#include <benchmark/benchmark.h>

#include "bench/bench_smoke.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/version/recovery.h"
#include "tervik/version/super_version.h"
#include "tervik/version/testing/version_fixture.h"

namespace {

using tervik::PersistedLevel;
using tervik::PersistedRun;
using tervik::SeqNoCounter;
using tervik::SeqNo;
using tervik::SuperVersion;
using tervik::SuperVersions;
using tervik::Table;
using tervik::TreeType;
using tervik::Version;

const size_t kTables = zv::bench::sized<size_t>(1000, 50);

// One tree folder of 1,000 tables: four overlapping level-0 runs of one
// table, the rest spread over single runs of levels 1 to 6.
struct Fixture {
  Fixture() : path("/tmp/zv-version-bench-" + std::to_string(zv::os_random_u64())), tree(path) {
    std::vector<Table> tables;
    std::vector<PersistedLevel> levels(7);
    char key[32];
    for (size_t i = 0; i < kTables; ++i) {
      const int level = i < 4 ? 0 : 1 + (i - 4) % 6;
      if (level == 0) {
        tables.push_back(tree.table(i + 1, "a", "z"));
        levels[0].push_back(PersistedRun{{static_cast<uint64_t>(i + 1), tables.back().checksum(), 0}});
        continue;
      }
      std::snprintf(key, sizeof(key), "k%06d", static_cast<int>(i));
      tables.push_back(tree.table(i + 1, key, std::string(key) + "~"));
      if (levels[level].empty()) levels[level].emplace_back();
      levels[level][0].push_back({static_cast<uint64_t>(i + 1), tables.back().checksum(), 0});
    }
    version = *Version::from_recovery(1, TreeType::kStandard, levels, tables, {}, {});
    (void)version->persist(path);
    config.emplace(tree.config());
  }
  ~Fixture() { (void)zv::fs::remove_dir_all(path); }

  std::string path;
  tervik::testing::TreeFolder tree;
  std::optional<Version> version;
  std::optional<tervik::TreeConfig> config;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Persist1000Tables(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    if (!f.version->persist(f.path).ok()) state.SkipWithError("persist failed");
  }
  state.counters["tables"] = static_cast<double>(f.version->table_count());
}
BENCHMARK(BM_Persist1000Tables)->Unit(benchmark::kMillisecond);

void BM_Recover1000Tables(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    auto v = tervik::recover_version(f.path, tervik::testing::kTestTreeId, *f.config);
    if (!v.ok() || v->table_count() != kTables) state.SkipWithError("recover failed");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_Recover1000Tables)->Unit(benchmark::kMillisecond);

void BM_FindForSnapshot(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  Fixture& f = fixture();
  SuperVersions list(*f.version);
  SeqNoCounter seqno(1), visible(0);
  // n super versions of empty versions (the lookup reads seqnos only).
  for (size_t i = 1; i < n; ++i) {
    const auto& last = list.latest();
    list.publish(SuperVersion{last.active_memtable, last.sealed_memtables,
                              Version::create(1000 + i, TreeType::kStandard), seqno.next()},
                 visible);
  }
  const tervik::SeqNo newest = seqno.get();
  uint64_t i = 0;
  for (auto _ : state) {
    // Alternate a read at the newest state with one in the middle of the list.
    const tervik::SeqNo snapshot = (++i & 1) ? UINT64_MAX : newest / 2 + 1;
    benchmark::DoNotOptimize(list.find_for_snapshot(snapshot));
  }
  (void)list.gc(f.path, UINT64_MAX);
}
BENCHMARK(BM_FindForSnapshot)->Arg(1)->Arg(16)->Arg(256);

void BM_AppendVersion1000Tables(benchmark::State& state) {
  Fixture& f = fixture();
  SuperVersions list(*f.version);
  SeqNoCounter seqno(1), visible(0);
  for (auto _ : state) {
    const auto last = list.latest();
    const SeqNo s = seqno.next();
    const Version next = last.version.with_new_l0_run({}, std::nullopt, std::nullopt);
    if (!next.persist(f.path).ok()) state.SkipWithError("persist failed");
    list.publish(SuperVersion{last.active_memtable, last.sealed_memtables, next, s}, visible);
    state.PauseTiming();
    (void)list.gc(f.path, seqno.get());
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AppendVersion1000Tables)->Unit(benchmark::kMillisecond);

// A reader looks up its super version under the shared lock while a writer
// appends versions (persist included) under the exclusive lock, as a tree
// does. Reports the mean and the worst wait of the reader's lookup.
void BM_PointReadWaitDuringAppend(benchmark::State& state) {
  Fixture& f = fixture();
  SuperVersions list(*f.version);
  std::shared_mutex lock;  // protects list
  SeqNoCounter seqno(1), visible(0);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop.load()) {
      // As a tree installs: persist with no lock held, then publish and take
      // the collectable entries under the exclusive lock, delete after it.
      const SuperVersion last = [&] {
        std::shared_lock read(lock);
        return list.latest();
      }();
      const SeqNo s = seqno.next();
      const Version next = last.version.with_new_l0_run({}, std::nullopt, std::nullopt);
      (void)next.persist(f.path);
      std::vector<uint64_t> collected;
      {
        std::unique_lock guard(lock);
        list.publish(SuperVersion{last.active_memtable, last.sealed_memtables, next, s}, visible);
        collected = list.take_collectable(seqno.get());
      }
      (void)SuperVersions::delete_version_files(f.path, collected);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  double worst = 0, total = 0;
  int64_t n = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    {
      std::shared_lock guard(lock);
      benchmark::DoNotOptimize(list.find_for_snapshot(UINT64_MAX));
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    worst = std::max(worst, us);
    total += us;
    ++n;
  }
  stop.store(true);
  writer.join();
  state.counters["mean_wait_us"] = total / static_cast<double>(std::max<int64_t>(n, 1));
  state.counters["worst_wait_us"] = worst;
}
BENCHMARK(BM_PointReadWaitDuringAppend)->MinTime(zv::bench::sized(1.0, 0.01));

}  // namespace

BENCHMARK_MAIN();
