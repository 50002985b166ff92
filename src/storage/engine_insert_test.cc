#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "src/index/hnsw_index.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

using testing::engine_disagreements;
using testing::test_node;
using testing::WriterRig;

uint64_t count_of(StorageEngine& e, const std::string& field, const std::string& text) {
  std::shared_lock l(e.field_stats.mu);
  const auto* f = e.field_stats.value.field(field);
  if (!f) return 0;
  auto it = f->find(text);
  return it == f->end() ? 0 : it->second;
}

EngineNode node_with(NodeId id, std::vector<float> v, std::string k) {
  EngineNode n = EngineNode::create(id);
  n.vector = VectorRepr::f32(std::move(v));
  n.set_field("k", FieldValue::string(std::move(k)));
  return n;
}

TEST(Insert, ReplaceMovesCountsPostingsRecordAndOffset) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  ASSERT_TRUE(e.insert(node_with(1, {1, 0}, "old")).ok());
  const uint64_t first = *e.vector_index()->storage_offset(1);
  ASSERT_TRUE(e.insert(node_with(1, {0, 1}, "new")).ok());
  const uint64_t second = *e.vector_index()->storage_offset(1);
  EXPECT_NE(first, second);
  EXPECT_EQ(count_of(e, "k", "old"), 0u);
  EXPECT_EQ(count_of(e, "k", "new"), 1u);
  EXPECT_TRUE(e.scalar_index->lookup("k", FieldValue::string("old")).empty());
  EXPECT_EQ(e.scalar_index->lookup("k", FieldValue::string("new")), std::vector<NodeId>{1});
  // The earlier record stays in the store, unmarked.
  auto old_h = rig.header_at(first);
  ASSERT_TRUE(old_h);
  EXPECT_FALSE(old_h->deleted());
  auto got = e.get(1);
  ASSERT_TRUE(got.ok() && *got);
  EXPECT_EQ((*got)->fields.at("k"), FieldValue::string("new"));
  EXPECT_EQ((*got)->vector, VectorRepr::f32({0, 1}));
  EXPECT_TRUE(engine_disagreements(e).empty());
}

TEST(Insert, FailedStoredReadCountsAsNewNode) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  ASSERT_TRUE(e.insert(node_with(1, {1, 0}, "old")).ok());
  rig.backend->fail_gets = 1;
  ASSERT_TRUE(e.insert(node_with(1, {0, 1}, "new")).ok());
  EXPECT_EQ(count_of(e, "k", "old"), 1u);
  EXPECT_EQ(count_of(e, "k", "new"), 1u);
  EXPECT_EQ(e.scalar_index->lookup("k", FieldValue::string("old")), std::vector<NodeId>{1});
}

TEST(Insert, ReadOnlyRefusedAfterStatisticsStep) {
  Config c;
  c.read_only = true;
  WriterRig rig(c);
  StorageEngine& e = *rig.engine;
  const uint64_t w = rig.write_offset();
  auto r = e.insert(node_with(3, {1, 1}, "x"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), ZolvaError::validation("read_only", std::string(kReadOnlyReason)).message());
  EXPECT_EQ(count_of(e, "k", "x"), 1u);
  EXPECT_EQ(rig.write_offset(), w);
  EXPECT_EQ(e.vector_index()->len(), 0u);
  EXPECT_EQ(rig.backend->puts.load(), 0);
}

TEST(Writers, InsertLockTimeoutNamesTheOperation) {
  Config c;
  c.insert_lock_timeout_ms = 30;
  WriterRig rig(c);
  StorageEngine& e = *rig.engine;
  ASSERT_TRUE(e.insert(test_node(9)).ok());
  auto held = e.lock_insert("test");
  ASSERT_TRUE(held.ok());
  struct Case {
    const char* op;
    std::function<ZolvaStatus()> call;
  } cases[] = {
      {"acquire insert_lock in insert (WAL + queue)", [&] { return e.insert(test_node(1)); }},
      {"acquire insert_lock in delete (WAL + apply)", [&] { return e.delete_node(9, "r"); }},
      {"acquire insert_lock in batch_insert",
       [&] {
         std::vector<EngineNode> b{test_node(2)};
         return e.batch_insert_with_opts(b, {});
       }},
  };
  for (auto& c2 : cases) {
    // Run on another thread: the timed mutex is held by this one.
    auto r = std::async(std::launch::async, c2.call).get();
    ASSERT_FALSE(r.ok()) << c2.op;
    EXPECT_EQ(r.error().message(), ZolvaError::timeout(c2.op, 30).message());
  }
  held.value().unlock();
  // The batch's store record was voided: a rebuild does not see node 2.
  for (const RebuildItem& it : scan_store_for_rebuild(e.segments[0]->file).items)
    EXPECT_NE(it.id, NodeId{2});
  EXPECT_TRUE(engine_disagreements(e).empty());
}

TEST(Insert, ColdNeverCachedHotReplacesItsCopy) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  EngineNode hot = node_with(4, {1, 0}, "a");
  hot.tier = Tier::kHot;
  ASSERT_TRUE(e.insert(hot).ok());
  EXPECT_TRUE(e.node_cache.find(4));
  hot.set_field("k", FieldValue::string("b"));
  ASSERT_TRUE(e.insert(hot).ok());
  EXPECT_EQ(e.node_cache.find(4)->fields.at("k"), FieldValue::string("b"));
  EngineNode cold = hot;
  cold.tier = Tier::kCold;
  ASSERT_TRUE(e.insert(cold).ok());
  EXPECT_FALSE(e.node_cache.find(4));
}

TEST(Insert, EvictionPassAboveCacheCapacity) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  e.node_cache_capacity = 3;
  for (NodeId id = 1; id <= 3; ++id) {
    EngineNode n = node_with(id, {1, float(id)}, "v");
    n.tier = Tier::kHot;
    ASSERT_TRUE(e.insert(n).ok());
  }
  EXPECT_EQ(e.node_cache.size(), 3u);
  EngineNode n = node_with(4, {1, 4}, "v");
  n.tier = Tier::kHot;
  ASSERT_TRUE(e.insert(n).ok());
  EXPECT_EQ(e.node_cache.size(), 3u);  // one of four consolidated
  for (NodeId id = 1; id <= 4; ++id) {
    auto g = e.get(id);
    ASSERT_TRUE(g.ok() && *g);
    EXPECT_EQ((*g)->vector, VectorRepr::f32({1, float(id)}));
  }
  EXPECT_TRUE(engine_disagreements(e).empty());
}

TEST(Insert, FailedPutVoidsStoreRecordAndKeepsIndexAsBefore) {
  WriterRig rig(Config{}, /*with_wal=*/true);
  StorageEngine& e = *rig.engine;
  // A new node: out of the index, its record voided, its log record kept.
  rig.backend->fail_puts = 1;
  const uint64_t at = rig.write_offset();
  ASSERT_FALSE(e.insert(node_with(5, {1, 2}, "a")).ok());
  EXPECT_FALSE(e.vector_index()->contains(5));
  auto h = rig.header_at(at);
  ASSERT_TRUE(h);
  EXPECT_TRUE(h->deleted());
  EXPECT_EQ(h->node_id, NodeId{0});
  EXPECT_EQ(rig.log_records().size(), 1u);
  // A replaced node keeps its earlier entry and reads back as before.
  ASSERT_TRUE(e.insert(node_with(6, {1, 0}, "first")).ok());
  const uint64_t before = *e.vector_index()->storage_offset(6);
  rig.backend->fail_puts = 1;
  ASSERT_FALSE(e.insert(node_with(6, {0, 1}, "second")).ok());
  EXPECT_EQ(*e.vector_index()->storage_offset(6), before);
  auto g = e.get(6);
  ASSERT_TRUE(g.ok() && *g);
  EXPECT_EQ((*g)->vector, VectorRepr::f32({1, 0}));
  EXPECT_EQ((*g)->fields.at("k"), FieldValue::string("first"));
  // A rebuild from the store takes the earlier record again.
  bool seen = false;
  for (const RebuildItem& it : scan_store_for_rebuild(e.segments[0]->file).items) {
    EXPECT_NE(it.id, NodeId{5});
    if (it.id == 6) {
      seen = true;
      EXPECT_EQ(it.storage_offset & ~kSegmentMask, before & ~kSegmentMask);
    }
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(engine_disagreements(e).empty());
}

TEST(Insert, IndexFailureVoidsStoreRecordAndWritesNoRecord) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  ASSERT_TRUE(e.insert(node_with(7, {1, 0}, "first")).ok());
  rig.index->fail_adds = 1;
  const uint64_t at = rig.write_offset();
  ASSERT_FALSE(e.insert(node_with(7, {0, 1}, "second")).ok());
  EXPECT_TRUE(rig.header_at(at)->deleted());
  auto g = e.get(7);
  ASSERT_TRUE(g.ok() && *g);
  EXPECT_EQ((*g)->vector, VectorRepr::f32({1, 0}));
  EXPECT_TRUE(engine_disagreements(e).empty());
}

// Nodes a later step would refuse never reach the log, the store or the
// backend, so they cannot fail every later replay.
TEST(Insert, RefusedNodesWriteNothing) {
  EngineNode zero = node_with(10, {0, 0}, "z");
  EngineNode empty_vec = node_with(11, {}, "z");
  EngineNode wide = node_with(12, {1, 1}, "z");
  wide.bitset.assign(FilterBitset::kMaxWords + 1, 1);
  EngineNode edgy = node_with(13, {1, 1}, "z");
  edgy.edges.resize(65'536);
  struct Case {
    EngineNode node;
    std::string want;
  } cases[] = {
      {zero, "zero-norm vector is undefined under cosine similarity"},
      {empty_vec, "zero-norm"},
      {wide, "filter"},
      {edgy, ZolvaError::edge_count_overflow(13, 65'536).message()},
  };
  for (const Case& c : cases) {
    WriterRig rig(Config{}, true);
    const uint64_t w = rig.write_offset();
    auto r = rig.engine->insert(c.node);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().message().find(c.want), std::string::npos) << r.error().message();
    std::vector<EngineNode> batch{test_node(99), c.node};
    for (InsertMode m : {InsertMode::kIncremental, InsertMode::kRebuild}) {
      BatchInsertOptions o;
      o.insert_mode = m;
      ASSERT_FALSE(rig.engine->batch_insert_with_opts(batch, o).ok());
    }
    EXPECT_EQ(rig.write_offset(), w);
    EXPECT_TRUE(rig.log_records().empty());
    EXPECT_EQ(rig.backend->puts.load() + rig.backend->batches.load(), 0);
  }
  // An id the index holds is updated in place, zero vector and all.
  WriterRig rig;
  ASSERT_TRUE(rig.engine->insert(node_with(10, {1, 0}, "a")).ok());
  EXPECT_TRUE(rig.engine->insert(zero).ok());
}

TEST(Insert, WritesOneLogRecordWithInsertTime) {
  WriterRig rig(Config{}, true);
  EngineNode n = node_with(20, {1, 2}, "a");
  n.last_accessed = 5;
  ASSERT_TRUE(rig.engine->insert(n).ok());
  auto recs = rig.log_records();
  ASSERT_EQ(recs.size(), 1u);
  const auto* ins = std::get_if<WalInsert>(&recs[0]);
  ASSERT_TRUE(ins);
  EXPECT_GT(ins->node.last_accessed, 5u);
  EngineNode back = ins->node;
  back.last_accessed = 5;
  EXPECT_EQ(back, n);
}

TEST(Insert, NodeWithoutVectorIsStoredAndIndexed) {
  WriterRig rig;
  EngineNode n = EngineNode::create(30);
  ASSERT_TRUE(rig.engine->insert(n).ok());
  EXPECT_TRUE(rig.engine->vector_index()->storage_offset(30));
  auto g = rig.engine->get(30);
  ASSERT_TRUE(g.ok() && *g);
}

TEST(KvWrites, ReadOnlyWritesNothingEmptyBatchPassedOn) {
  Config c;
  c.read_only = true;
  WriterRig ro(c);
  EXPECT_FALSE(ro.engine->kv_put(Partition::kTextIndex, "k", "v").ok());
  std::vector<BatchOp> ops{BatchOp::put(Partition::kTextIndex, "k", "v")};
  EXPECT_FALSE(ro.engine->kv_write_batch(ops).ok());
  EXPECT_EQ(ro.backend->puts.load() + ro.backend->batches.load(), 0);
  WriterRig rw;
  ASSERT_TRUE(rw.engine->kv_write_batch({}).ok());
  EXPECT_EQ(rw.backend->batches.load(), 1);
  ASSERT_TRUE(rw.engine->kv_put(Partition::kTextIndex, std::string("a\0b", 3), "v").ok());
  auto got = rw.engine->scan_prefix(Partition::kTextIndex, std::string("a\0", 2));
  ASSERT_TRUE(got.ok());
  ASSERT_EQ(got->size(), 1u);
}

}  // namespace
}  // namespace zv
