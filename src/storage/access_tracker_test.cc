#include "src/storage/access_tracker.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace zv {
namespace {

// Counts, epochs and removals against a plain map, over enough ids to grow
// the tables many times and to remove from the middle of long probe runs.
TEST(AccessTracker, AgreesWithAMapThroughGrowthAndRemovals) {
  AccessTracker t;
  std::map<NodeId, AccessTracker::Entry> want;
  std::mt19937_64 rng(5);
  // Small, dense and far-apart ids, 0 among them.
  auto pick = [&] {
    switch (rng() % 3) {
      case 0: return NodeId(rng() % 4000);
      case 1: return make_node_id(rng() % 50, 7);
      default: return make_node_id(rng(), rng());
    }
  };
  for (int step = 0; step < 60000; ++step) {
    const NodeId id = pick();
    if (rng() % 4 == 0) {
      t.forget(id);
      want.erase(id);
    } else {
      t.current_epoch = static_cast<uint64_t>(step);
      t.record(id);
      auto& e = want[id];
      ++e.count;
      e.last_epoch = static_cast<uint64_t>(step);
    }
  }
  EXPECT_EQ(t.size(), want.size());
  for (const auto& [id, e] : want) {
    ASSERT_EQ(t.entry(id), e);
  }
  for (uint64_t i = 0; i < 4000; ++i) {
    EXPECT_EQ(want.count(i) != 0, t.entry(i).has_value()) << i;
  }
  // Everything forgotten leaves an empty tracker that still counts.
  for (const auto& [id, e] : want) t.forget(id);
  EXPECT_EQ(t.size(), 0u);
  t.record(0);
  EXPECT_EQ(t.entry(0)->count, 1u);
}

TEST(AccessTracker, DisabledCountsNothing) {
  AccessTracker t;
  t.enabled = false;
  t.record(3);
  EXPECT_FALSE(t.entry(3).has_value());
  EXPECT_EQ(t.size(), 0u);
}

}  // namespace
}  // namespace zv
