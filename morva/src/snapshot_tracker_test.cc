#include "morva/src/snapshot_tracker.h"

#include <gtest/gtest.h>

namespace morva {
namespace {

struct TrackerFixture {
  tervik::SeqNoCounter visible{0};
  std::shared_ptr<SnapshotTracker> tracker = SnapshotTracker::create(visible);
};

TEST(SnapshotTrackerTest, OpenCountsPerSequenceNumberUntilACollectionAboveThem) {
  TrackerFixture f;
  f.visible.raise_to(100);
  {
    Snapshot a = f.tracker->open();
    Snapshot b = f.tracker->open();
    EXPECT_EQ(a.seqno(), 100u);
    EXPECT_EQ(f.tracker->open_count(100), 2u);
    EXPECT_EQ(f.tracker->entry_count(), 1u);
  }
  EXPECT_EQ(f.tracker->open_count(100), 0u) << "the entry lingers";
  EXPECT_EQ(f.tracker->freed(), 2u);
  f.tracker->gc();
  EXPECT_EQ(f.tracker->open_count(100), 0u) << "not below the visible number";
  f.visible.raise_to(101);
  f.tracker->gc();
  EXPECT_EQ(f.tracker->open_count(100), std::nullopt);
  EXPECT_EQ(f.tracker->watermark(), 100u);
}

TEST(SnapshotTrackerTest, CollectionWatermarks) {
  TrackerFixture f;
  f.tracker->gc();
  EXPECT_EQ(f.tracker->watermark(), 0u) << "visible 0, no snapshot";
  f.visible.raise_to(300);
  Snapshot at300 = f.tracker->open();
  f.visible.raise_to(500);
  f.tracker->gc();
  EXPECT_EQ(f.tracker->watermark(), 299u);
  at300.close();
  f.tracker->gc();
  EXPECT_EQ(f.tracker->watermark(), 499u);
  // A lower bound never lowers the watermark.
  TrackerFixture g;
  g.visible.raise_to(500);
  g.tracker->gc();
  EXPECT_EQ(g.tracker->watermark(), 499u);
  Snapshot s = g.tracker->open();
  g.visible.raise_to(900);
  g.tracker->gc();
  EXPECT_EQ(g.tracker->watermark(), 499u);
}

TEST(SnapshotTrackerTest, ASnapshotAtZeroHoldsNothingBack) {
  TrackerFixture f;
  Snapshot zero = f.tracker->open();
  f.visible.raise_to(50);
  f.tracker->gc();
  EXPECT_EQ(f.tracker->watermark(), 0u) << "only entries at 0 stayed";
  Snapshot fifty = f.tracker->open();
  f.visible.raise_to(80);
  f.tracker->gc();
  EXPECT_EQ(f.tracker->watermark(), 49u);
}

TEST(SnapshotTrackerTest, ClosingTwiceCountsTwiceAndStaysAtZero) {
  TrackerFixture f;
  f.visible.raise_to(7);
  Snapshot s = f.tracker->open();
  f.tracker->close(7);
  f.tracker->close(7);
  EXPECT_EQ(f.tracker->open_count(7), 0u);
  EXPECT_EQ(f.tracker->freed(), 2u);
  f.tracker->close(12345);  // no entry: only counted
  EXPECT_EQ(f.tracker->freed(), 3u);
  EXPECT_EQ(f.tracker->entry_count(), 1u);
}

TEST(SnapshotTrackerTest, EveryTenThousandthCloseCollects) {
  TrackerFixture f;
  f.visible.raise_to(500);
  for (int i = 1; i < 10'000; ++i) f.tracker->close(1);
  EXPECT_EQ(f.tracker->watermark(), 0u) << "the 9,999th close does not collect";
  f.tracker->close(1);
  EXPECT_EQ(f.tracker->watermark(), 499u);
  f.visible.raise_to(900);
  for (int i = 1; i < 10'000; ++i) f.tracker->close(1);
  EXPECT_EQ(f.tracker->watermark(), 499u);
  f.tracker->close(1);
  EXPECT_EQ(f.tracker->watermark(), 899u) << "the 20,000th collects";
}

TEST(SnapshotTrackerTest, PullUp) {
  TrackerFixture f;
  f.tracker->pullup();
  EXPECT_EQ(f.tracker->watermark(), 0u);
  f.visible.raise_to(40);
  f.tracker->pullup();
  EXPECT_EQ(f.tracker->watermark(), 39u);
  {
    Snapshot s = f.tracker->open();
    f.visible.raise_to(60);
    f.tracker->pullup();
    EXPECT_EQ(f.tracker->watermark(), 39u) << "an entry stops the pull-up";
  }
  f.tracker->pullup();
  EXPECT_EQ(f.tracker->watermark(), 39u) << "a lingering entry too";
  f.tracker->gc();
  EXPECT_EQ(f.tracker->watermark(), 59u);
}

}  // namespace
}  // namespace morva
