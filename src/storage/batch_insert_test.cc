#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "src/runtime/operational_counters.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

using testing::engine_disagreements;
using testing::WriterRig;

std::vector<EngineNode> make_batch(NodeId first, size_t n, float salt = 0.0f) {
  std::vector<EngineNode> out;
  for (size_t i = 0; i < n; ++i) {
    const NodeId id = first + i;
    EngineNode node = EngineNode::create(id);
    node.vector = VectorRepr::f32({1.0f + salt, float(i % 97), float(i / 97)});
    node.set_field("k", FieldValue::string("v" + std::to_string(i % 3)));
    out.push_back(std::move(node));
  }
  return out;
}

BatchInsertOptions mode(InsertMode m, std::optional<uint64_t> threshold = std::nullopt) {
  BatchInsertOptions o;
  o.insert_mode = m;
  o.incremental_threshold = threshold;
  return o;
}

TEST(BatchInsert, EmptyAndReadOnly) {
  Config c;
  c.read_only = true;
  WriterRig ro(c);
  EXPECT_TRUE(ro.engine->batch_insert_with_opts({}, {}).ok());
  auto b = make_batch(1, 2);
  auto r = ro.engine->batch_insert_with_opts(b, {});
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().message().find("read-only"), std::string::npos);
  EXPECT_EQ(ro.backend->batches.load(), 0);
  std::shared_lock l(ro.engine->field_stats.mu);
  EXPECT_TRUE(ro.engine->field_stats.value.fields().empty());
}

TEST(BatchInsert, StoredVersionsUncountedUnlessSkipped) {
  for (bool skip : {false, true}) {
    WriterRig rig;
    StorageEngine& e = *rig.engine;
    auto first = make_batch(1, 300);
    ASSERT_TRUE(e.batch_insert_with_opts(first, {}).ok());
    auto second = make_batch(1, 300);
    for (auto& n : second) n.set_field("k", FieldValue::string("new"));
    BatchInsertOptions o;
    o.skip_existing_check = skip;
    ASSERT_TRUE(e.batch_insert_with_opts(second, o).ok());
    std::shared_lock l(e.field_stats.mu);
    const auto* f = e.field_stats.value.field("k");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->count("v0") != 0, skip);
    EXPECT_EQ(f->at("new"), 300u);
    EXPECT_EQ(e.scalar_index->lookup("k", FieldValue::string("v1")).empty(), !skip);
  }
}

TEST(BatchInsert, AutoThresholdAndRebuildMarker) {
  struct Case {
    BatchInsertOptions opts;
    size_t n;
    bool indexed;
  } cases[] = {
      {mode(InsertMode::kAuto), 999, true},
      {mode(InsertMode::kAuto), 1000, false},
      {mode(InsertMode::kAuto, 0), 1, false},
      {mode(InsertMode::kAuto, 5), 4, true},
      {mode(InsertMode::kRebuild), 1, false},
      {mode(InsertMode::kIncremental), 1200, true},
  };
  for (const Case& c : cases) {
    WriterRig rig;
    auto b = make_batch(1, c.n);
    ASSERT_TRUE(rig.engine->batch_insert_with_opts(b, c.opts).ok());
    EXPECT_EQ(rig.engine->vector_index()->len(), c.indexed ? c.n : 0u) << c.n;
    auto marker = rig.backend->get(Partition::kInternalMetadata, std::string(kRebuildPendingKey));
    ASSERT_TRUE(marker.ok());
    EXPECT_EQ(marker->has_value(), !c.indexed);
    if (!c.indexed) {
      EXPECT_EQ(**marker, "");
    }
    EXPECT_EQ(rig.backend->batches.load(), 1);
    // Unindexed nodes are in partition 0 and the store all the same.
    EXPECT_EQ(rig.backend->inner.scan_all(Partition::kDefault)->size(), c.n);
    EXPECT_EQ(scan_store_for_rebuild(rig.engine->segments[0]->file).items.size(), c.n);
    if (c.indexed) {
      EXPECT_TRUE(engine_disagreements(*rig.engine).empty());
    }
  }
}

TEST(BatchInsert, LevelsOfSeed42InLevelOrder) {
  WriterRig rig;
  auto b = make_batch(1, 200);
  ASSERT_TRUE(rig.engine->batch_insert_with_opts(b, {}).ok());
  const auto levels = rig.engine->vector_index()->levels_for_batch(42, 200);
  for (size_t i = 0; i < b.size(); ++i) EXPECT_EQ(rig.engine->vector_index()->node_level(b[i].id), levels[i] + 1);  // layers held
  // The first inserted item (the highest level, earliest in batch order)
  // became the entry point.
  size_t top = 0;
  for (size_t i = 1; i < levels.size(); ++i)
    if (levels[i] > levels[top]) top = i;
  EXPECT_EQ(rig.engine->vector_index()->entry_point(), b[top].id);
}

TEST(BatchInsert, RepeatedIdLeavesTheLaterNodeEverywhere) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  std::vector<EngineNode> b = make_batch(1, 50);
  EngineNode later = b[3];
  later.vector = VectorRepr::f32({9, 9, 9});
  later.set_field("k", FieldValue::string("later"));
  later.tier = Tier::kHot;
  b.push_back(later);
  ASSERT_TRUE(e.batch_insert_with_opts(b, {}).ok());
  EXPECT_EQ(e.vector_index()->vector(b[3].id), later.vector);
  auto got = e.read_stored_node(b[3].id);
  ASSERT_TRUE(got.ok() && *got);
  EXPECT_EQ((*got)->vector, later.vector);
  EXPECT_EQ((*got)->fields.at("k"), FieldValue::string("later"));
  // The earlier occurrence's texts are replaced, as by a second insert.
  const auto v0 = e.scalar_index->lookup("k", FieldValue::string("v0"));
  EXPECT_EQ(std::count(v0.begin(), v0.end(), b[3].id), 0);
  EXPECT_EQ(e.scalar_index->lookup("k", FieldValue::string("later")), std::vector<NodeId>{b[3].id});
  {
    std::shared_lock l(e.field_stats.mu);
    EXPECT_EQ(e.field_stats.value.field("k")->at("v0"), 16u);  // 17 of 50 hold it, one replaced
  }
  EXPECT_TRUE(engine_disagreements(e).empty());
}

TEST(BatchInsert, CacheTierAndOneEvictionPass) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  e.node_cache_capacity = 4;
  auto hot = make_batch(1, 5);
  for (auto& n : hot) n.tier = Tier::kHot;
  auto& passes = OperationalCounters::global().eviction_passes;
  uint64_t before = passes.read();
  ASSERT_TRUE(e.batch_insert_with_opts(hot, {}).ok());
  EXPECT_EQ(passes.read() - before, 1u);
  EXPECT_EQ(e.node_cache.size(), 4u);
  // A batch of cold nodes still runs one pass when the cache stays above.
  e.node_cache_capacity = 2;
  auto cold = make_batch(100, 3);
  before = passes.read();
  ASSERT_TRUE(e.batch_insert_with_opts(cold, {}).ok());
  EXPECT_EQ(passes.read() - before, 1u);
  for (auto& n : cold) EXPECT_FALSE(e.node_cache.find(n.id));
  // A cold node removes a cached copy of its id.
  ASSERT_TRUE(e.node_cache.size() > 0);
  NodeId cached_id = e.node_cache.map_locked().begin()->first;
  EngineNode c = *e.node_cache.find(cached_id);
  c.tier = Tier::kCold;
  ASSERT_TRUE(e.batch_insert_with_opts(std::span(&c, 1), {}).ok());
  EXPECT_FALSE(e.node_cache.find(cached_id));
  EXPECT_TRUE(engine_disagreements(e).empty());
}

// Failures after the store append void the batch's records, so a rebuild
// from the store gives every replaced node its earlier version.
TEST(BatchInsert, FailuresVoidTheBatchRecords) {
  enum Fault { kBackend, kLog };
  for (Fault f : {kBackend, kLog}) {
    WriterRig rig(Config{}, true);
    StorageEngine& e = *rig.engine;
    auto first = make_batch(1, 10);
    ASSERT_TRUE(e.batch_insert_with_opts(first, {}).ok());
    std::map<NodeId, uint64_t> earlier;
    for (auto& n : first) earlier[n.id] = *e.vector_index()->storage_offset(n.id);
    auto second = make_batch(1, 10, 5.0f);
    if (f == kBackend) {
      rig.backend->fail_batches = 1;
    } else {
      rig.fs->fail_nth(testing::FaultOp::kWrite, 1, 1000);
    }
    ASSERT_FALSE(e.batch_insert_with_opts(second, {}).ok());
    for (const RebuildItem& it : scan_store_for_rebuild(e.segments[0]->file).items)
      EXPECT_EQ(it.storage_offset, earlier.at(it.id) & ~kSegmentMask);
    for (auto& n : first) {
      auto g = e.get(n.id);
      ASSERT_TRUE(g.ok() && *g);
      EXPECT_EQ((*g)->vector, n.vector);
    }
    EXPECT_TRUE(engine_disagreements(e).empty());
  }
}

}  // namespace
}  // namespace zv
