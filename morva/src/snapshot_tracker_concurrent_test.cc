#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "morva/src/snapshot_tracker.h"

namespace morva {
namespace {

// Eight threads open, read and close snapshots while others collect, pull up
// and raise the visible number: the watermark never decreases and never
// reaches an open snapshot's sequence number.
TEST(SnapshotTrackerConcurrentTest, WatermarkNeverDecreasesNorPassesAnOpenSnapshot) {
  tervik::SeqNoCounter visible(1);
  auto tracker = SnapshotTracker::create(visible);
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      for (int i = 0; i < 20000 && !failed; ++i) {
        Snapshot s = tracker->open();
        for (int k = 0; k < 3; ++k) {
          if (tracker->watermark() >= s.seqno()) failed = true;
        }
        if (rng() % 64 == 0) std::this_thread::yield();
      }
    });
  }
  threads.emplace_back([&] {
    uint64_t last = 0;
    while (!stop) {
      visible.next();
      tracker->gc();
      tracker->pullup();
      const uint64_t w = tracker->watermark();
      if (w < last) failed = true;
      last = w;
    }
  });
  for (int t = 0; t < 8; ++t) threads[t].join();
  stop = true;
  threads.back().join();
  EXPECT_FALSE(failed.load());
  tracker->gc();
  EXPECT_EQ(tracker->watermark(), visible.get() - 1);
}

}  // namespace
}  // namespace morva
