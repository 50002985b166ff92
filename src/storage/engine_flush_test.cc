// Flush, the stored checkpoint and log compaction, in directory mode over the
// durable test backend and in memory mode.
#include <future>

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/checkpoint_store.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/open_fixture.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

using testing::OpenFixture;
using testing::test_node;
using testing::WriterRig;

std::optional<std::string> stored_checkpoint(StorageEngine& e) {
  auto v = e.backend->get(Partition::kInternalMetadata, kCheckpointSeqKey);
  EXPECT_TRUE(v.ok());
  return v.ok() ? *v : std::nullopt;
}

class FlushTest : public OpenFixture {
 protected:
  void insert_range(StorageEngine& e, NodeId from, NodeId to) {
    for (NodeId id = from; id < to; ++id) ASSERT_TRUE(e.insert(node(id)).ok());
  }
  std::string index_file() const { return fs::join(data_dir(), kIndexFileName); }
};

TEST_F(FlushTest, CheckpointCountsTheRecordsAsOneVarint) {
  config.wal_shards = 3;
  auto e = open_ok();
  ASSERT_TRUE(e);
  EXPECT_EQ(stored_checkpoint(*e), std::nullopt);
  ASSERT_TRUE(e->flush().ok());  // nothing logged yet: nothing stored
  EXPECT_EQ(stored_checkpoint(*e), std::nullopt);
  insert_range(*e, 1, 12);  // shards hold 4, 4 and 3
  ASSERT_TRUE(e->flush().ok());
  EXPECT_EQ(stored_checkpoint(*e), std::string("\x0B"));
  insert_range(*e, 12, 301);
  ASSERT_TRUE(e->flush().ok());
  EXPECT_EQ(stored_checkpoint(*e), std::string("\xAC\x02"));
  EXPECT_TRUE(fs::exists(index_file()));
  e.reset();
  // The reopen replays nothing and finds every node.
  auto again = open_ok();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->vector_index()->len(), 300u);
  EXPECT_TRUE(testing::engine_disagreements(*again).empty());
}

TEST_F(FlushTest, ReadOnlyFlushTouchesNothing) {
  {
    auto e = open_ok();
    insert_range(*e, 1, 5);
    ASSERT_TRUE(e->flush().ok());
  }
  auto before = fs::read_file(index_file());
  Config ro = config;
  ro.read_only = true;
  auto e = open_ok(ro);
  ASSERT_TRUE(e);
  for (auto* op : {+[](StorageEngine& x) { return x.flush(); },
                   +[](StorageEngine& x) { return x.compact_wal(); }}) {
    auto r = op(*e);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), ZolvaError::validation("read_only",
                                                          "StorageEngine is read-only; write operation rejected")
                                       .message());
  }
  EXPECT_EQ(fs::read_file(index_file()).value(), before.value());
}

TEST_F(FlushTest, RotationLeavesEmptyShardsAndLaterRecordsReplay) {
  seams.wal_options = wal::sharded_wal_options(config);
  seams.wal_options->max_file_size = 1024;
  {
    auto e = open_ok();
    insert_range(*e, 1, 40);
    ASSERT_TRUE(e->flush().ok());
    EXPECT_EQ(stored_checkpoint(*e), std::string(1, '\0'));
    EXPECT_EQ(e->wal->positions_handed_out(), 0u);
    auto left = wal::recover(wal_path(), config.wal_shards, 0);
    ASSERT_TRUE(left.ok());
    EXPECT_TRUE(left->empty());
    insert_range(*e, 40, 50);  // logged only: the backend never flushes them
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  for (NodeId id = 1; id < 50; ++id) {
    auto g = e->get(id);
    ASSERT_TRUE(g.ok() && *g) << node_id_to_string(id);
  }
  EXPECT_TRUE(testing::engine_disagreements(*e).empty());
}

TEST_F(FlushTest, MappedIndexIsReplacedWhileReadersKeepTheOldOne) {
  config.index_mmap = true;
  config.index_mmap_always = true;
  auto e = open_ok();
  ASSERT_TRUE(e);
  insert_range(*e, 1, 20);
  std::shared_ptr<VectorIndexPort> old = e->vector_index();
  ASSERT_TRUE(old->is_mmap_backed());
  ASSERT_TRUE(e->flush().ok());
  std::shared_ptr<VectorIndexPort> now = e->vector_index();
  EXPECT_NE(now, old);
  EXPECT_TRUE(now->is_mmap_backed());
  EXPECT_EQ(old->len(), 19u);  // the reader finishes on the old one
  EXPECT_EQ(now->len(), 19u);
  EXPECT_EQ(now->vector(7), old->vector(7));
  ASSERT_TRUE(e->insert(node(30)).ok());
  EXPECT_TRUE(now->contains(30));
  EXPECT_FALSE(old->contains(30));
}

TEST_F(FlushTest, FailedIndexWriteStopsBeforeTheCheckpoint) {
  auto e = open_ok();
  insert_range(*e, 1, 5);
  // A directory where the temporary index file goes makes the write fail.
  ASSERT_TRUE(fs::create_dir_all(index_file() + ".tmp").ok());
  auto r = e->flush();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().as<ZolvaError::Io>() != nullptr) << r.error().message();
  EXPECT_EQ(stored_checkpoint(*e), std::nullopt);
  ASSERT_TRUE(e->insert(node(9)).ok());  // the lock was released
  ASSERT_TRUE(fs::remove_dir(index_file() + ".tmp").ok());
  ASSERT_TRUE(e->flush().ok());
  EXPECT_EQ(stored_checkpoint(*e), std::string("\x05"));
}

TEST_F(FlushTest, CompactWalResetsTheCheckpointAndTheReopenReplaysAll) {
  {
    auto e = open_ok();
    insert_range(*e, 1, 12);
    ASSERT_TRUE(e->delete_node(3, "test").ok());
    ASSERT_TRUE(e->compact_wal().ok());
    EXPECT_EQ(stored_checkpoint(*e), std::string(8, '\0'));
    auto records = wal::recover(wal_path(), config.wal_shards, 0);
    ASSERT_TRUE(records.ok());
    EXPECT_EQ(records->size(), 12u);  // the shard files keep every record
    insert_range(*e, 12, 14);
    ASSERT_TRUE(e->flush().ok());
    EXPECT_EQ(stored_checkpoint(*e), std::string("\x0E"));
    ASSERT_TRUE(e->compact_wal().ok());
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  for (NodeId id = 1; id < 14; ++id) {
    auto g = e->get(id);
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(g->has_value(), id != 3) << node_id_to_string(id);
  }
  EXPECT_TRUE(testing::engine_disagreements(*e).empty());
}

TEST(Flush, MemoryEngineDrainsWritesNoFileAndRefreshesGauges) {
  auto e = testing::memory_engine();
  for (NodeId id = 1; id <= 3; ++id) testing::store_node(*e, test_node(id));
  ASSERT_TRUE(e->queue_hnsw_insert(PendingHnswInsert{VectorRepr::f32({3.0f, 1.0f}), 4, 0, {}}).ok());
  const uint64_t epoch = e->access_tracker->current_epoch.load();
  ASSERT_TRUE(e->flush().ok());
  EXPECT_TRUE(e->vector_index()->contains(4));
  EXPECT_EQ(e->access_tracker->current_epoch.load(), epoch + 1);
  EXPECT_EQ(OperationalCounters::global().hnsw_nodes_count.read(), 4u);
  EXPECT_EQ(stored_checkpoint(*e), std::nullopt);
  EXPECT_FALSE(fs::exists(kIndexFileName));
  ASSERT_TRUE(e->compact_wal().ok());
  EXPECT_EQ(stored_checkpoint(*e), std::string(8, '\0'));
}

TEST(Flush, NothingLoggedKeepsAnEarlierCheckpoint) {
  WriterRig rig(Config{}, true);
  ASSERT_TRUE(rig.backend->put(Partition::kInternalMetadata, kCheckpointSeqKey, "\x07").ok());
  ASSERT_TRUE(rig.engine->flush().ok());
  EXPECT_EQ(stored_checkpoint(*rig.engine), std::string("\x07"));
}

TEST(Flush, TimeoutDrainsNothing) {
  Config c;
  c.insert_lock_timeout_ms = 30;
  auto e = testing::memory_engine(c);
  ASSERT_TRUE(e->queue_hnsw_insert(PendingHnswInsert{VectorRepr::f32({3.0f, 1.0f}), 4, 0, {}}).ok());
  auto held = e->lock_insert("test");
  ASSERT_TRUE(held.ok());
  auto r = std::async(std::launch::async, [&] { return e->flush(); }).get();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            ZolvaError::timeout("acquire insert_lock in flush (ERR-010 checkpoint)", 30).message());
  EXPECT_FALSE(e->vector_index()->contains(4));
  EXPECT_EQ(e->access_tracker->current_epoch.load(), 0u);
}

TEST(Flush, FailedDrainReleasesTheLockAndSkipsTheLaterSteps) {
  WriterRig rig(Config{}, true);
  StorageEngine& e = *rig.engine;
  ASSERT_TRUE(e.insert(test_node(1)).ok());
  ASSERT_TRUE(e.queue_hnsw_insert(PendingHnswInsert{VectorRepr::f32({3.0f, 1.0f}), 4, 0, {}}).ok());
  rig.index->fail_adds = 1;
  ASSERT_FALSE(e.flush().ok());
  EXPECT_EQ(stored_checkpoint(e), std::nullopt);
  EXPECT_EQ(e.access_tracker->current_epoch.load(), 0u);
  auto lock = e.lock_insert("test");
  EXPECT_TRUE(lock.ok());
}

TEST(Flush, CompactWalFailingShardKeepsTheCheckpointAndStopsTheShard) {
  Config c;
  c.wal_shards = 2;
  WriterRig rig(c, true);
  StorageEngine& e = *rig.engine;
  for (NodeId id = 1; id <= 4; ++id) ASSERT_TRUE(e.insert(test_node(id)).ok());
  rig.fs->fail_nth(testing::FaultOp::kSync, 1, 100);
  rig.fs->fail_nth(testing::FaultOp::kSyncAll, 1, 100);
  ASSERT_FALSE(e.compact_wal().ok());
  rig.fs->clear();
  EXPECT_EQ(stored_checkpoint(e), std::string("\x04"));
  // Appends reaching the stopped shard fail; the database must be reopened.
  bool failed = false;
  for (NodeId id = 10; id < 14 && !failed; ++id) failed = !e.insert(test_node(id)).ok();
  EXPECT_TRUE(failed);
}

}  // namespace
}  // namespace zv
