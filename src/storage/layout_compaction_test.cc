// Layout compaction of segment 0 and the full index rebuild, with the marker
// a deferred batch leaves: offsets, file contents, reopen, failures.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "platform/fs.h"
#include "src/index/hnsw_index.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/index_rebuild.h"
#include "src/storage/layout_compaction.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/open_fixture.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

class CompactionTest : public testing::OpenFixture {
 protected:
  std::string index_file() const { return fs::join(data_dir(), kIndexFileName); }
  std::string segment_file() const { return fs::join(data_dir(), tier_file_name(0)); }
  static std::vector<float> vec(NodeId id) {
    return {1.0f, static_cast<float>(id % 13) + 0.5f, static_cast<float>(id % 7) - 3.0f};
  }
  void insert_range(StorageEngine& e, NodeId from, NodeId to) {
    for (NodeId id = from; id < to; ++id) ASSERT_TRUE(e.insert(node(id, vec(id))).ok());
  }
  // Every id reads back with its own vector (or is absent when deleted).
  void expect_nodes(StorageEngine& e, NodeId from, NodeId to, std::set<NodeId> deleted = {}) {
    for (NodeId id = from; id < to; ++id) {
      auto g = e.get(id);
      ASSERT_TRUE(g.ok());
      if (deleted.count(id)) {
        EXPECT_FALSE(*g) << node_id_to_string(id);
        continue;
      }
      ASSERT_TRUE(*g) << node_id_to_string(id);
      EXPECT_EQ((*g)->id, id);
      EXPECT_EQ((*g)->vector.to_f32_vec(), vec(id)) << node_id_to_string(id);
    }
    EXPECT_TRUE(testing::engine_disagreements(e).empty());
  }
  void deferred_batch(StorageEngine& e, NodeId from, NodeId to) {
    std::vector<EngineNode> batch;
    for (NodeId id = from; id < to; ++id) batch.push_back(node(id, vec(id)));
    BatchInsertOptions opts;
    opts.insert_mode = InsertMode::kRebuild;
    ASSERT_TRUE(e.batch_insert_with_opts(batch, opts).ok());
  }
  bool marker(StorageEngine& e) { return rebuild_marker_set(*e.backend).value(); }
};

TEST_F(CompactionTest, WritesLiveNodesInBreadthFirstOrderAndSurvivesReopen) {
  uint64_t end = 0;
  {
    auto e = open_ok();
    ASSERT_TRUE(e);
    insert_range(*e, 1, 41);
    ASSERT_TRUE(e->insert(node(5, vec(5))).ok());  // an older version of 5 stays behind
    ASSERT_TRUE(e->delete_node(7, "test").ok());
    const uint64_t before = e->segments[0]->file.write_offset();
    auto moved = e->compact_layout_bfs();
    ASSERT_TRUE(moved.ok()) << moved.error().message();
    EXPECT_EQ(*moved, 39u);
    auto index = e->vector_index();
    const NodeId entry = *index->entry_point();
    EXPECT_EQ(index->storage_offset(entry), 64u);
    auto h = e->segments[0]->file.node_header_at(64);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->node_id, entry);
    EXPECT_EQ(h->vector_offset, 128u);
    end = e->segments[0]->file.write_offset();
    EXPECT_EQ(end, 64u + 39u * 128u);  // 3 floats: one header and one payload line each
    EXPECT_LT(end, before);
    EXPECT_TRUE(fs::exists(index_file()));
    expect_nodes(*e, 1, 41, {7});
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  expect_nodes(*e, 1, 41, {7});
  EXPECT_EQ(e->segments[0]->file.write_offset(), end);
  ASSERT_TRUE(e->insert(node(100, vec(100))).ok());
  EXPECT_EQ(e->vector_index()->storage_offset(100), end);
}

TEST_F(CompactionTest, BatchesWrittenDuringCompactionsKeepTheirVectors) {
  // A batch whose nodes reached segment 0 while a compaction rewrote it from
  // the index must not point the index into the file the rewrite replaced.
  auto e = open_ok();
  ASSERT_TRUE(e);
  insert_range(*e, 1, 9);
  std::atomic<bool> done{false};
  std::atomic<int> compaction_failures{0};
  std::thread compactor([&] {
    while (!done.load()) {
      if (!e->compact_layout_bfs().ok()) ++compaction_failures;
      // The insert lock is not fair: back-to-back compactions would starve
      // the writer into its lock timeout.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  NodeId next = 9;
  for (int b = 0; b < 60; ++b, next += 4) {
    std::vector<EngineNode> batch;
    for (NodeId id = next; id < next + 4; ++id) batch.push_back(node(id, vec(id)));
    auto r = e->batch_insert_with_opts(batch, {});
    EXPECT_TRUE(r.ok()) << r.error().message();
    if (!r.ok()) break;
  }
  done = true;
  compactor.join();
  EXPECT_EQ(compaction_failures.load(), 0);
  expect_nodes(*e, 1, next);
}

TEST_F(CompactionTest, EmptyIndexReturnsZeroAndChangesNoFile) {
  auto e = open_ok();
  ASSERT_TRUE(e);
  ASSERT_TRUE(e->flush().ok());
  auto before = fs::read_file(segment_file());
  auto moved = e->compact_layout_bfs();
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(*moved, 0u);
  EXPECT_EQ(fs::read_file(segment_file()).value(), before.value());
}

TEST_F(CompactionTest, FailedReopenStopsWritesAndTheNextOpenRebuilds) {
  {
    auto e = open_ok();
    ASSERT_TRUE(e);
    insert_range(*e, 1, 30);
    ASSERT_TRUE(e->delete_node(4, "test").ok());
    e->maintenance_seams.reopen_segment = [](VFile&, uint64_t) -> ZolvaStatus {
      return make_unexpected(ZolvaError::io(IoError(IoErrorKind::kOther, "injected reopen failure")));
    };
    auto moved = e->compact_layout_bfs();
    ASSERT_FALSE(moved.ok());
    const std::string why = moved.error().message();
    EXPECT_NE(why.find("injected reopen failure"), std::string::npos);
    EXPECT_FALSE(fs::exists(index_file()));
    // Every later write, flush included, fails with that error.
    EXPECT_EQ(e->insert(node(50, vec(50))).error().message(), why);
    EXPECT_EQ(e->delete_node(3, "test").error().message(), why);
    EXPECT_EQ(e->flush().error().message(), why);
    EXPECT_EQ(e->compact_layout_bfs().error().message(), why);
    EXPECT_EQ(e->rebuild_vector_index().error().message(), why);
    EXPECT_FALSE(fs::exists(index_file()));
    // Reads still see the old mapping, which agrees with the index.
    expect_nodes(*e, 1, 30, {4});
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  expect_nodes(*e, 1, 30, {4});
  EXPECT_EQ(e->segments[0]->file.write_offset(), 64u + 28u * 128u);
}

TEST_F(CompactionTest, DeferredBatchIsRebuiltFirstAndKeepsItsVectors) {
  auto e = open_ok();
  ASSERT_TRUE(e);
  insert_range(*e, 1, 11);
  deferred_batch(*e, 11, 31);
  EXPECT_TRUE(marker(*e));
  auto moved = e->compact_layout_bfs();
  ASSERT_TRUE(moved.ok()) << moved.error().message();
  EXPECT_EQ(*moved, 30u);
  EXPECT_FALSE(marker(*e));
  expect_nodes(*e, 1, 31);
}

TEST_F(CompactionTest, MarkerMakesEveryOpenRebuildUntilAnIndexFileHoldsTheBatch) {
  {
    auto e = open_ok();
    insert_range(*e, 1, 11);
    deferred_batch(*e, 11, 31);
    // The checkpoint passes the batch's records: only the marker saves them.
    ASSERT_TRUE(e->flush().ok());
    EXPECT_EQ(e->vector_index()->len(), 10u);
  }
  {
    Config ro = config;
    ro.read_only = true;
    auto e = open_ok(ro);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->vector_index()->len(), 30u);
    EXPECT_TRUE(marker(*e));
  }
  {
    auto e = open_ok();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->vector_index()->len(), 30u);
    EXPECT_FALSE(marker(*e));
    expect_nodes(*e, 1, 31);
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  expect_nodes(*e, 1, 31);
}

TEST_F(CompactionTest, DeletedNodesOfADeferredBatchStayDeleted) {
  {
    auto e = open_ok();
    insert_range(*e, 1, 6);
    deferred_batch(*e, 3, 9);  // 3..5 get a newer record the index does not name
    ASSERT_TRUE(e->delete_node(4, "test").ok());
    ASSERT_TRUE(e->delete_node(7, "test").ok());
    ASSERT_TRUE(e->flush().ok());
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  EXPECT_FALSE(e->vector_index()->contains(4));
  EXPECT_FALSE(e->vector_index()->contains(7));
  expect_nodes(*e, 1, 9, {4, 7});
}

TEST_F(CompactionTest, RebuildSwapsInANewIndexFromSegmentZero) {
  auto e = open_ok();
  ASSERT_TRUE(e);
  insert_range(*e, 1, 21);
  deferred_batch(*e, 21, 26);
  ASSERT_TRUE(e->delete_node(2, "test").ok());
  // A node whose record lies in segment 1 is left out of the new index.
  EngineNode other = node(90, vec(90));
  const uint64_t pos = e->segments[1]->file.append_node(other).value();
  ASSERT_TRUE(e->vector_index()->add(90, FilterBitset(other.bitset), other.vector, pos | 1).ok());
  auto old = e->vector_index();
  OperationalCounters::global().ann_rebuild_scanned_nodes.set(0);
  auto report = e->rebuild_vector_index();
  ASSERT_TRUE(report.ok()) << report.error().message();
  EXPECT_EQ(report->scanned_nodes, 25u);
  EXPECT_EQ(report->skipped_tombstones, 1u);
  EXPECT_GE(OperationalCounters::global().ann_rebuild_scanned_nodes.read(), 25u);
  auto now = e->vector_index();
  EXPECT_NE(now, old);
  EXPECT_EQ(old->len(), 20u);  // a search that loaded it finishes on it
  EXPECT_EQ(now->len(), 24u);
  EXPECT_FALSE(now->contains(90));
  EXPECT_FALSE(now->contains(2));
  EXPECT_FALSE(marker(*e));
  e.reset();
  auto again = open_ok();
  EXPECT_EQ(again->vector_index()->len(), 24u);
}

TEST_F(CompactionTest, FailedRebuildKeepsTheIndexAndTheMarker) {
  auto e = open_ok();
  ASSERT_TRUE(e);
  insert_range(*e, 1, 11);
  deferred_batch(*e, 11, 16);
  auto old = e->vector_index();
  // The index file cannot be written: its temporary name is a directory.
  e->maintenance_seams.at_step = [&](std::string_view step) {
    if (step == "rebuild_write") {
      ASSERT_TRUE(fs::create_dir_all(index_file() + ".tmp").ok());
    }
  };
  auto r = e->rebuild_vector_index();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(e->vector_index(), old);
  EXPECT_TRUE(marker(*e));
  ASSERT_TRUE(fs::remove_dir(index_file() + ".tmp").ok());
  e->maintenance_seams.at_step = nullptr;
}

TEST(Compaction, FailedRebuildAddKeepsTheIndex) {
  testing::WriterRig rig;
  StorageEngine& e = *rig.engine;
  for (NodeId id = 1; id <= 8; ++id) ASSERT_TRUE(e.insert(testing::test_node(id)).ok());
  rig.index->fail_adds_of_copies = 1;
  auto old = e.vector_index();
  auto r = e.rebuild_vector_index();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), ZolvaError::generic("injected index failure").message());
  EXPECT_EQ(e.vector_index(), old);
  rig.index->fail_adds_of_copies = 0;
  ASSERT_TRUE(e.rebuild_vector_index().ok());
  EXPECT_EQ(e.vector_index()->len(), 8u);
}

// The flush before each operation takes the insert lock itself, so another
// thread grabs it in between: the timeout then names the operation.
TEST(Compaction, LockTimeoutNamesTheOperation) {
  struct Case {
    const char* step;
    const char* op;
    std::function<ZolvaStatus(StorageEngine&)> call;
  } cases[] = {
      {"compaction_lock", "acquire insert_lock in compact_layout_bfs",
       [](StorageEngine& e) -> ZolvaStatus {
         auto r = e.compact_layout_bfs();
         if (!r.ok()) return make_unexpected(std::move(r).error());
         return {};
       }},
      {"rebuild_lock", "acquire insert_lock in rebuild_vector_index",
       [](StorageEngine& e) -> ZolvaStatus {
         auto r = e.rebuild_vector_index();
         if (!r.ok()) return make_unexpected(std::move(r).error());
         return {};
       }},
  };
  for (const Case& c : cases) {
    Config config;
    config.insert_lock_timeout_ms = 30;
    auto e = testing::memory_engine(config);
    ASSERT_TRUE(e->insert(testing::test_node(1)).ok());
    std::promise<void> taken, release;
    std::future<void> holder;
    e->maintenance_seams.at_step = [&](std::string_view step) {
      if (step != c.step) return;
      // The guard must be released by the thread that took it.
      holder = std::async(std::launch::async, [&] {
        auto held = e->lock_insert("test");
        ASSERT_TRUE(held.ok());
        taken.set_value();
        release.get_future().wait();
      });
      taken.get_future().wait();
    };
    ASSERT_TRUE(e->flush().ok());
    const auto before = e->vector_index();
    const ZolvaStatus r = c.call(*e);
    release.set_value();
    holder.get();
    ASSERT_FALSE(r.ok()) << c.op;
    EXPECT_EQ(r.error().message(), ZolvaError::timeout(c.op, 30).message());
    EXPECT_EQ(r.error().message(), std::string("Operation ") + c.op + " timed out after 30ms");
    // Nothing was done: the same index is in use and the lock is free again.
    EXPECT_EQ(e->vector_index(), before);
    e->maintenance_seams.at_step = nullptr;
    EXPECT_TRUE(c.call(*e).ok()) << c.op;
  }
}

TEST(Compaction, MemoryModeMovesNothing) {
  auto e = testing::memory_engine();
  std::vector<uint64_t> offsets;
  for (NodeId id = 1; id <= 6; ++id) offsets.push_back(testing::store_node(*e, testing::test_node(id)));
  auto moved = e->compact_layout_bfs();
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(*moved, 6u);
  for (NodeId id = 1; id <= 6; ++id) EXPECT_EQ(e->vector_index()->storage_offset(id), offsets[id - 1]);
}

TEST(Compaction, UnreachedIdsFollowInIndexOrder) {
  HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
  for (NodeId id : {5, 3, 9})
    ASSERT_TRUE(index.add(id, FilterBitset{}, VectorRepr::f32({1.0f, float(id)}), id * 64).ok());
  // A start the graph does not know reaches nothing.
  std::vector<NodeId> expect{77};
  for (NodeId id : index.node_ids()) expect.push_back(id);
  EXPECT_EQ(bfs_order(index, 77), expect);
  auto from5 = bfs_order(index, 5);
  ASSERT_EQ(from5.size(), 3u);
  EXPECT_EQ(from5[0], NodeId{5});
}

TEST(Compaction, RewriteRefusesAnEmptyOrderAndATruncatedNode) {
  ::zv::testing::TempDir dir;
  auto seg = VFile::open(dir.path() + "/vstore_L0.zolva", 4096, false);
  ASSERT_TRUE(seg.ok());
  HnswIndex index(HnswConfig{}, IndexBacking::in_memory());
  RewriteSteps steps;
  auto empty = rewrite_in_order(*seg, index, {}, 64, steps);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message(), ZolvaError::validation("bfs_order", kEmptyOrderReason).message());

  EngineNode n = testing::test_node(1);
  const uint64_t pos = seg->append_node(n).value();
  NodeRecordHeader h = *seg->node_header_at(pos);
  h.vector_len = 100000;  // claims far more than the file holds
  ASSERT_TRUE(seg->write_node_header(pos, h).ok());
  ASSERT_TRUE(index.add(1, FilterBitset{}, n.vector, pos).ok());
  const std::vector<NodeId> order{1};
  auto cut = rewrite_in_order(*seg, index, order, 64, steps);
  ASSERT_FALSE(cut.ok());
  EXPECT_NE(cut.error().message().find("vstore truncated: node at offset 64 claims 400064 bytes "
                                        "(header 64 + vec 400000) but file has 4096 \xE2\x80\x94 needed 400128"),
            std::string::npos)
      << cut.error().message();
  EXPECT_FALSE(steps.renamed);
}

}  // namespace
}  // namespace zv
