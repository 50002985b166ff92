#include "src/text/write_stripes.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "src/text/repair_mark.h"

namespace zv::text {
namespace {

TEST(WriteStripesTest, SeveralIdsTakeEachStripeOnceInAscendingOrder) {
  WriteStripes stripes;
  const NodeId high = make_node_id(7, 0);  // stripe 0: only the low bits count
  std::vector<NodeId> ids = {1029, 3, high, 5, 1024 + 3, 1};
  StripeLock lock(stripes, ids);
  EXPECT_EQ(lock.held(), (std::vector<size_t>{0, 1, 3, 5}));
  for (size_t s : lock.held()) EXPECT_FALSE(stripes.stripe(s).try_lock()) << s;
  ASSERT_TRUE(stripes.stripe(2).try_lock());
  stripes.stripe(2).unlock();
}

TEST(WriteStripesTest, ReleasedOnDestructionAndMove) {
  WriteStripes stripes;
  {
    StripeLock a(stripes, NodeId{9});
    StripeLock b(std::move(a));
    EXPECT_FALSE(stripes.stripe(9).try_lock());
  }
  ASSERT_TRUE(stripes.stripe(9).try_lock());
  stripes.stripe(9).unlock();
}

// Writers of overlapping id sets, listed in opposite orders, never deadlock.
TEST(WriteStripesTest, OverlappingSetsInOppositeOrders) {
  WriteStripes stripes;
  std::vector<NodeId> forward = {1, 2, 3, 4}, backward = {4, 3, 2, 1};
  uint64_t counter = 0;
  auto run = [&](const std::vector<NodeId>& ids) {
    for (int i = 0; i < 2000; ++i) {
      StripeLock lock(stripes, ids);
      ++counter;
    }
  };
  std::thread a(run, forward), b(run, backward);
  a.join();
  b.join();
  EXPECT_EQ(counter, 4000u);
}

TEST(RepairMarkTest, ClearOnlyWhenNotSetSinceTheSnapshot) {
  RepairMark mark;
  EXPECT_FALSE(mark.is_set());
  EXPECT_TRUE(mark.clear_if_unchanged(mark.snapshot()));

  mark.set();
  RepairMark::Snapshot before = mark.snapshot();
  mark.set();  // a writer failed again while the rebuilds ran
  EXPECT_FALSE(mark.clear_if_unchanged(before));
  EXPECT_TRUE(mark.is_set());

  before = mark.snapshot();
  EXPECT_TRUE(mark.clear_if_unchanged(before));
  EXPECT_FALSE(mark.is_set());

  // A writer setting it after a clear is kept even against an old snapshot.
  mark.set();
  EXPECT_FALSE(mark.clear_if_unchanged(before));
  EXPECT_TRUE(mark.is_set());
}

}  // namespace
}  // namespace zv::text
