#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

// Writers, readers at held snapshots and a thread that rotates and flushes
// under the flush lock, 8 threads in all: a read at a held snapshot gives
// the same answer before and after every flush.
TEST(TreeConcurrent, SnapshotReadsAreStableAcrossFlushes) {
  testing::TreeDir dir;
  Tree t = dir.open();
  constexpr int kWriters = 4;
  constexpr int kReaders = 3;
  constexpr int kKeys = 64;
  std::atomic<bool> stop{false};
  std::atomic<int> flushes{0};
  testing::InFlightWrites in_flight(kWriters);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; !stop.load(); ++i) {
        const std::string key = "k" + std::to_string((i * kWriters + w) % kKeys);
        in_flight.begin(w, dir.seqno);
        testing::put(t, key, key + ":" + std::to_string(i), dir.seqno.next());
        if (i % 7 == 0) t.remove(key, dir.seqno.next());
        in_flight.end(w);
        // Bounded rate: each flush then writes a memtable of a few MB at most.
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const SeqNo snapshot = in_flight.stable_snapshot(dir.seqno);
        std::vector<std::string> first;
        for (int k = 0; k < kKeys; ++k) first.push_back(testing::read(t, "k" + std::to_string(k), snapshot));
        const int seen = flushes.load();
        while (flushes.load() == seen && !stop.load()) std::this_thread::yield();
        for (int k = 0; k < kKeys; ++k) {
          EXPECT_EQ(testing::read(t, "k" + std::to_string(k), snapshot), first[k]) << "key " << k;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      auto guard = t.lock_flush();
      t.rotate_memtable();
      // Watermark 0: the flush keeps every version, as held snapshots need.
      auto r = t.flush_sealed_memtables(0);
      flushes.fetch_add(1);
      if (!r.ok()) {
        ADD_FAILURE() << r.error().to_string();
        break;
      }
    }
    stop.store(true);
  });
  for (auto& th : threads) th.join();
  EXPECT_GE(flushes.load(), 20);
}

}  // namespace
}  // namespace tervik
