// Background pieces of the key-value engine: a snapshot open-and-close pair
// (every scan of the backend takes one) on 1 and 8 threads, at one visible
// sequence number for all threads (one map entry shared by all: the worst
// case) and at changing numbers; the worker channel's send-and-receive
// latency and its throughput with 4 consumers.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "bench/bench_smoke.h"
#include "morva/src/channel.h"
#include "morva/src/snapshot_tracker.h"
#include "morva/src/worker_message.h"

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
