#include <gtest/gtest.h>

#include "src/storage/shred_record.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

using testing::engine_disagreements;
using testing::test_node;
using testing::WriterRig;

TEST(Delete, NeverStoredIdWritesItsRecordAndSucceeds) {
  WriterRig rig(Config{}, true);
  ASSERT_TRUE(rig.engine->delete_node(77, "gone").ok());
  auto recs = rig.log_records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(std::get<WalDelete>(recs[0]).id, NodeId{77});
  EXPECT_EQ(rig.backend->dels.load(), 2);  // the node record and the shred record
}

TEST(Delete, RemovesTheNodeFromEveryPlace) {
  for (const std::string& reason : {std::string(), std::string("expired"), std::string("\0\xff\n", 3)}) {
    WriterRig rig;
    StorageEngine& e = *rig.engine;
    EngineNode a = test_node(1);
    a.tier = Tier::kHot;
    a.set_field("n", FieldValue::integer(5));
    EngineNode b = test_node(2);
    b.add_edge(1, 0, 1.0f);  // b points at a
    ASSERT_TRUE(e.insert(a).ok());
    ASSERT_TRUE(e.insert(b).ok());
    ASSERT_TRUE(shred_record::put(1, a.fields, *e.backend).ok());
    // A stale posting left by a batch that skipped the stored-version lookup.
    BatchInsertOptions skip;
    skip.skip_existing_check = true;
    EngineNode a2 = a;
    a2.set_field("n", FieldValue::integer(6));
    ASSERT_TRUE(e.batch_insert_with_opts(std::span(&a2, 1), skip).ok());
    const uint64_t off = *e.vector_index()->storage_offset(1);

    ASSERT_TRUE(e.delete_node(1, reason).ok());
    auto g = e.get(1);
    ASSERT_TRUE(g.ok());
    EXPECT_FALSE(*g);
    EXPECT_TRUE(rig.header_at(off)->deleted());
    EXPECT_FALSE(e.vector_index()->contains(1));
    EXPECT_FALSE(e.node_cache.find(1));
    EXPECT_TRUE(e.scalar_index->lookup("n", FieldValue::integer(5)).empty());
    EXPECT_TRUE(e.scalar_index->lookup("n", FieldValue::integer(6)).empty());
    EXPECT_FALSE(*e.backend->get(Partition::kInternalMetadata, shred_record::key(1)));
    auto other = e.get(2);
    ASSERT_TRUE(other.ok() && *other);
    EXPECT_EQ((*other)->edges.size(), 1u);
    EXPECT_EQ((*other)->edges[0].target, NodeId{1});
    EXPECT_TRUE(engine_disagreements(e).empty());
  }
}

TEST(Delete, EntryPointMovesToTopLevelNodeOrNone) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  for (NodeId id = 1; id <= 20; ++id)
    ASSERT_TRUE(e.insert(testing::test_node(id, VectorRepr::f32({1.0f, float(id)}))).ok());
  for (NodeId id = 1; id <= 20; ++id) {
    auto ep = e.vector_index()->entry_point();
    ASSERT_TRUE(ep);
    ASSERT_TRUE(e.delete_node(*ep, "").ok());
    auto now = e.vector_index()->entry_point();
    if (e.vector_index()->len() == 0) {
      EXPECT_TRUE(!now || *now == kMaxNodeId);
    } else {
      ASSERT_TRUE(now);
      EXPECT_NE(*now, *ep);
      EXPECT_TRUE(e.vector_index()->contains(*now));
    }
  }
}

TEST(Delete, ReadOnlyRefusedAfterStatisticsStep) {
  Config c;
  c.read_only = true;
  WriterRig rig(c);
  StorageEngine& e = *rig.engine;
  EngineNode n = test_node(1);
  const uint64_t off = testing::store_node(e, n);
  e.scalar_index->insert("k", n.fields.at("k"), 1);
  auto r = e.delete_node(1, "x");
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message().find("read-only"), std::string::npos);
  EXPECT_TRUE(e.scalar_index->lookup("k", n.fields.at("k")).empty());
  EXPECT_TRUE(e.vector_index()->contains(1));
  EXPECT_FALSE(rig.header_at(off)->deleted());
  EXPECT_TRUE(*e.backend->get(Partition::kDefault, node_key(1)));
}

TEST(Delete, FailedBackendDeleteIsReturned) {
  WriterRig rig;
  ASSERT_TRUE(rig.engine->insert(test_node(1)).ok());
  rig.backend->fail_dels = 1;
  EXPECT_FALSE(rig.engine->delete_node(1, "").ok());
  EXPECT_FALSE(rig.engine->vector_index()->contains(1));
  // The node record and the scalar-field record stay for a retry.
  EXPECT_TRUE(*rig.backend->get(Partition::kDefault, node_key(1)));
}

}  // namespace
}  // namespace zv
