// Memtable insert and point read from 1, 4 and 8 threads, next to the same
// work on a std::map under a mutex as a sanity baseline.
#include <benchmark/benchmark.h>

#include "bench/bench_smoke.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tervik/memtable/memtable.h"

namespace {

using tervik::InternalKey;
using tervik::InternalValue;
using tervik::Memtable;
using tervik::Slice;

const int64_t kInsertsPerThread = zv::bench::sized<int64_t>(200000, 5000);
const uint64_t kPrefill = zv::bench::sized<uint64_t>(1 << 20, 1 << 12);

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

// 16-byte keys in scattered order, 32-byte values (a shared buffer).
Slice key_of(uint64_t i) {
  char buf[17];
  std::snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(mix(i)));
  return Slice(std::string_view(buf, 16));
}
const Slice& value() {
  static const Slice v(std::string(32, 'v'));
  return v;
}

// A baseline ordered map behind one lock.
struct LockedMap {
  std::mutex mu;  // guards map
  std::map<InternalKey, Slice> map;
  void insert(InternalValue v) {
    std::lock_guard<std::mutex> lock(mu);
    map.insert_or_assign(std::move(v.key), std::move(v.value));
  }
  bool get(const Slice& k, tervik::SeqNo snapshot) {
    std::lock_guard<std::mutex> lock(mu);
    auto it = map.lower_bound(InternalKey(k, snapshot - 1, tervik::ValueType::kValue));
    return it != map.end() && it->first.user_key == k;
  }
};

std::shared_ptr<Memtable> g_memtable;
std::unique_ptr<LockedMap> g_map;

void BM_MemtableInsert(benchmark::State& state) {
  if (state.thread_index() == 0) g_memtable = Memtable::create(1);
  uint64_t i = static_cast<uint64_t>(state.thread_index());
  const uint64_t step = static_cast<uint64_t>(state.threads());
  for (auto _ : state) {
    g_memtable->insert(InternalValue::new_value(key_of(i), value(), i));
    i += step;
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) g_memtable.reset();
}

void BM_LockedMapInsert(benchmark::State& state) {
  if (state.thread_index() == 0) g_map = std::make_unique<LockedMap>();
  uint64_t i = static_cast<uint64_t>(state.thread_index());
  const uint64_t step = static_cast<uint64_t>(state.threads());
  for (auto _ : state) {
    g_map->insert(InternalValue::new_value(key_of(i), value(), i));
    i += step;
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) g_map.reset();
}

// Built once, read by every run.
const std::shared_ptr<Memtable>& read_memtable() {
  static std::shared_ptr<Memtable> m = [] {
    auto t = Memtable::create(2);
    for (uint64_t i = 0; i < kPrefill; ++i) t->insert(InternalValue::new_value(key_of(i), value(), i));
    return t;
  }();
  return m;
}
LockedMap& read_map() {
  static LockedMap m;
  static const bool filled = [] {
    for (uint64_t i = 0; i < kPrefill; ++i) m.insert(InternalValue::new_value(key_of(i), value(), i));
    return true;
  }();
  (void)filled;
  return m;
}

void BM_MemtableGet(benchmark::State& state) {
  const auto& m = read_memtable();
  uint64_t i = mix(static_cast<uint64_t>(state.thread_index()) + 17);
  int64_t found = 0;
  for (auto _ : state) {
    i = i * 6364136223846793005ULL + 1442695040888963407ULL;
    found += m->get(key_of((i >> 20) % kPrefill), UINT64_MAX).has_value();
  }
  if (found != state.iterations()) state.SkipWithError("missing key");
  state.SetItemsProcessed(state.iterations());
}

void BM_LockedMapGet(benchmark::State& state) {
  LockedMap& m = read_map();
  uint64_t i = mix(static_cast<uint64_t>(state.thread_index()) + 17);
  int64_t found = 0;
  for (auto _ : state) {
    i = i * 6364136223846793005ULL + 1442695040888963407ULL;
    found += m.get(key_of((i >> 20) % kPrefill), UINT64_MAX);
  }
  if (found != state.iterations()) state.SkipWithError("missing key");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_MemtableInsert)->Threads(1)->Threads(4)->Threads(8)->Iterations(kInsertsPerThread)->UseRealTime();
BENCHMARK(BM_LockedMapInsert)->Threads(1)->Threads(4)->Threads(8)->Iterations(kInsertsPerThread)->UseRealTime();
BENCHMARK(BM_MemtableGet)->Threads(1)->Threads(4)->Threads(8)->UseRealTime();
BENCHMARK(BM_LockedMapGet)->Threads(1)->Threads(4)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
