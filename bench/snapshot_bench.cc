// Background pieces of the key-value engine: a snapshot open-and-close pair
// (every scan of the backend takes one) on 1 and 8 threads, at one visible
// sequence number for all threads (one map entry shared by all: the worst
// case) and at changing numbers, beside a 100-entry prefix scan over a
// flushed tree (a pair should cost at most a tenth of it); the worker channel's send-and-receive
// latency and its throughput with 4 consumers.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_smoke.h"
#include "morva/src/channel.h"
#include "morva/src/snapshot_tracker.h"
#include "morva/src/worker_message.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/tree/tree.h"
#include "tervik/tree/tree_iter.h"

namespace {

using morva::SnapshotTracker;

struct TrackerFixture {
  tervik::SeqNoCounter visible{1};
  std::shared_ptr<SnapshotTracker> tracker = SnapshotTracker::create(visible);
};

TrackerFixture& shared_fixture() {
  static TrackerFixture f;  // one tracker for all threads of a run
  return f;
}

// Range(0): 0 = one visible number for everyone; 1 = the number moves on.
void BM_SnapshotOpenClose(benchmark::State& state) {
  TrackerFixture& f = shared_fixture();
  const bool moving = state.range(0) == 1;
  for (auto _ : state) {
    if (moving) f.visible.next();
    morva::Snapshot s = f.tracker->open();
    benchmark::DoNotOptimize(s.seqno());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SnapshotOpenClose)->Arg(0)->Arg(1)->Threads(1)->Threads(8)->UseRealTime();

// A flushed tree of 100-byte values whose keys share 12-digit prefixes in
// runs of 100.
struct PrefixTree {
  static constexpr uint64_t kRun = 100;
  const uint64_t keys = zv::bench::sized<uint64_t>(100000, 2000);
  zv::testing::TempDir dir;
  tervik::SeqNoCounter seqno{1};
  tervik::SeqNoCounter visible{1};
  tervik::Tree tree = [&] {
    auto t = tervik::Tree::open(tervik::TreeConfig::create(zv::fs::join(dir.path(), "tree"), seqno, visible));
    if (!t.ok()) std::abort();
    return *t;
  }();

  static std::string key_of(uint64_t i) {
    char buf[24];
    std::snprintf(buf, sizeof(buf), "%014llu", static_cast<unsigned long long>(i));
    return std::string(buf, 14);
  }
  PrefixTree() {
    const std::string v(100, 'v');
    for (uint64_t i = 0; i < keys; ++i) {
      tree.append_entry(tervik::InternalValue::new_value(tervik::Slice(key_of(i)), tervik::Slice(v), seqno.next()));
    }
    auto guard = tree.lock_flush();
    tree.rotate_memtable();
    if (!tree.flush_sealed_memtables(0).ok()) std::abort();
  }
};

void BM_PrefixScan100(benchmark::State& state) {
  static PrefixTree* t = new PrefixTree();
  uint64_t run = 0;
  for (auto _ : state) {
    const std::string prefix = PrefixTree::key_of(run++ % (t->keys / PrefixTree::kRun) * PrefixTree::kRun).substr(0, 12);
    tervik::TreeIter it = tervik::TreeIter::create_prefix(t->tree.latest_super_version(), prefix);
    uint64_t found = 0;
    while (tervik::ReadItem item = it.next()) {
      if (!item->ok()) std::abort();
      if (!(*item)->key.user_key.starts_with(prefix)) break;
      ++found;
    }
    if (found != PrefixTree::kRun) return state.SkipWithError("wrong count");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrefixScan100);

// One message sent and taken back on the same thread.
void BM_ChannelSendRecv(benchmark::State& state) {
  auto [tx, rx] = morva::bounded_channel<morva::WorkerMessage>(morva::kWorkerChannelCapacity);
  for (auto _ : state) {
    if (!tx.send(morva::WorkerMessage::flush())) return state.SkipWithError("send failed");
    benchmark::DoNotOptimize(rx.recv());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChannelSendRecv);

// One producer feeding 4 consumers through a full-size channel.
void BM_ChannelFourConsumers(benchmark::State& state) {
  const int per_round = zv::bench::sized(100000, 5000);
  for (auto _ : state) {
    auto [tx, rx] = morva::bounded_channel<morva::WorkerMessage>(morva::kWorkerChannelCapacity);
    std::vector<std::thread> consumers;
    for (int c = 0; c < 4; ++c) {
      consumers.emplace_back([rx = rx]() mutable {
        while (rx.recv()) {
        }
      });
    }
    for (int i = 0; i < per_round; ++i) {
      if (!tx.send(morva::WorkerMessage::flush())) break;
    }
    { auto done = std::move(tx); }
    for (auto& t : consumers) t.join();
  }
  state.SetItemsProcessed(state.iterations() * per_round);
}
BENCHMARK(BM_ChannelFourConsumers)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
