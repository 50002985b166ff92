#include "src/storage/storage_engine.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <thread>

#include "src/index/hnsw_index.h"
#include "src/storage/testing/engine_fixture.h"

namespace zv {
namespace {

TEST(StorageEngineState, MemoryModeValues) {
  auto e = testing::memory_engine();
  EXPECT_FALSE(e->lock_file.has_value());
  EXPECT_TRUE(e->data_dir.empty());
  ASSERT_EQ(e->segments.size(), 1u);
  EXPECT_TRUE(e->segments[0]->file.in_memory_backed());
  EXPECT_EQ(e->segments[0]->file.capacity(), kDefaultSegmentBytes);
  EXPECT_EQ(e->wal, nullptr);
  for (const auto& slot : e->tier_slots) EXPECT_FALSE(slot.has_value());
  EXPECT_TRUE(e->tier_files.empty());
  EXPECT_EQ(e->vector_index()->len(), 0u);
  EXPECT_EQ(e->node_cache.size(), 0u);
  EXPECT_EQ(e->access_tracker->size(), 0u);
  EXPECT_EQ(e->cache_warmer.prefetch_limit, 8u);
  EXPECT_EQ(e->cache_warmer.entry_limit, 1000000u);
  EXPECT_EQ(e->cache_warmer.min_coaccess, 3u);
  EXPECT_EQ(e->access_tracker->cold_after_epochs, 100u);
  EXPECT_EQ(e->access_tracker->hot_count, 5u);
  EXPECT_TRUE(e->access_tracker->enabled);
  EXPECT_NE(e->scalar_index, nullptr);
  EXPECT_FALSE(e->read_only());
  EXPECT_EQ(e->text_stats.term.size(), 0u);
  EXPECT_EQ(e->text_stats.ns.size(), 0u);
  EXPECT_EQ(e->labels.value.size(), 0u);
}

TEST(StorageEngineState, MemoryBudgetLimits) {
  MemoryBudget m(1000000);
  EXPECT_EQ(m.hard_limit(), 750000u);
  EXPECT_EQ(m.soft_limit(), 675000u);
  EXPECT_EQ(m.fraction(), 0.75);
  MemoryBudget none(0);
  EXPECT_EQ(none.hard_limit(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(none.soft_limit(), std::numeric_limits<uint64_t>::max());
  MemoryBudget huge(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(huge.hard_limit(), saturating_u64(18446744073709551615.0 * 0.75));
  EXPECT_EQ(saturating_u64(1e30), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(saturating_u64(-5.0), 0u);
  Config c;
  c.memory_limit = 4096;
  EXPECT_EQ(MemoryBudget::limit_for(c), 4096u);
  c.memory_limit.reset();
  EXPECT_GT(MemoryBudget::limit_for(c), 0u);
  Config limited;
  limited.memory_limit = 1000000;
  EXPECT_EQ(testing::memory_engine(limited)->memory_budget->hard_limit(), 750000u);
}

TEST(StorageEngineState, InsertLockTimesOutWithTheCallersName) {
  Config c;
  c.insert_lock_timeout_ms = 30;
  auto e = testing::memory_engine(c);
  auto held = e->lock_insert("insert (WAL + queue)");
  ASSERT_TRUE(held.ok());
  auto waited = std::async(std::launch::async, [&] { return e->lock_insert("flush"); }).get();
  ASSERT_FALSE(waited.ok());
  EXPECT_EQ(waited.error().message(), "Operation acquire insert_lock in flush timed out after 30ms");
  // Released in time: the waiter gets it.
  auto later = std::async(std::launch::async, [&] { return e->lock_insert("delete").ok(); });
  held->unlock();
  EXPECT_TRUE(later.get());
}

TEST(StorageEngineState, InsertLockDeadlinePastTheClockWaitsWithoutLimit) {
  Config c;
  c.insert_lock_timeout_ms = std::numeric_limits<uint64_t>::max();
  auto e = testing::memory_engine(c);
  auto held = e->lock_insert("a");
  ASSERT_TRUE(held.ok());
  auto waiter = std::async(std::launch::async, [&] { return e->lock_insert("b").ok(); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  held->unlock();
  EXPECT_TRUE(waiter.get());
}

TEST(StorageEngineState, SegmentZeroAndOffsetsOutOfRange) {
  auto e = testing::memory_engine();
  EXPECT_TRUE(e->lock_segment0().ok());
  auto bad = e->segment_for(64 | 5, 42);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "Generic error: corrupt storage: segment 5 out of range for node 42");
  EngineParts none = StorageEngine::memory_mode_parts(Config{});
  none.segments.clear();
  auto empty = StorageEngine::assemble(std::move(none));
  auto l = empty->lock_segment0();
  ASSERT_FALSE(l.ok());
  EXPECT_EQ(l.error().message(), "Generic error: corrupt storage: vector_store has no segment 0");
}

TEST(StorageEngineState, ReaderKeepsTheIndexItLoaded) {
  auto e = testing::memory_engine();
  testing::store_node(*e, testing::test_node(7));
  std::shared_ptr<VectorIndexPort> loaded = e->vector_index();
  e->swap_vector_index(std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::in_memory()));
  EXPECT_EQ(loaded->len(), 1u);
  EXPECT_TRUE(loaded->storage_offset(7).has_value());
  EXPECT_EQ(e->vector_index()->len(), 0u);
  // Reads go through the new index: the node is no longer found.
  EXPECT_FALSE(e->get(7)->has_value());
}

}  // namespace
}  // namespace zv
