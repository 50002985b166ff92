#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <thread>

#include "src/backends/in_memory_backend.h"
#include "src/storage/storage_engine.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/hooked_backend.h"

namespace zv {
namespace {

using testing::memory_engine;
using testing::store_node;
using testing::test_node;

VFile& seg0(StorageEngine& e) { return e.segments[0]->file; }

// Rewrites the stored header of a node in place.
void patch_header(StorageEngine& e, uint64_t offset, void (*edit)(NodeRecordHeader&)) {
  auto h = seg0(e).node_header_at(offset);
  ASSERT_TRUE(h.has_value());
  edit(*h);
  ASSERT_TRUE(seg0(e).write_node_header(offset, *h).ok());
}

TEST(ReadStoredNode, AssemblesTheNodeFromItsThreePieces) {
  auto e = memory_engine();
  EngineNode n = test_node(5, VectorRepr::turbo({1, 2, 3}));
  n.bitset = {7, 0};
  n.confidence_score = 0.25f;
  n.importance = 0.5f;
  n.tier = Tier::kHot;
  n.add_edge(9, 2, 0.5f);
  store_node(*e, n);
  auto got = e->read_stored_node(5);
  ASSERT_TRUE(got.ok());
  ASSERT_TRUE(got->has_value());
  const EngineNode& r = **got;
  EXPECT_EQ(r.vector, n.vector);
  EXPECT_EQ(r.bitset, std::vector<uint64_t>{7});
  EXPECT_EQ(r.fields, n.fields);
  EXPECT_EQ(r.edges, n.edges);
  EXPECT_EQ(r.confidence_score, 0.25f);
  EXPECT_EQ(r.importance, 0.5f);
  EXPECT_EQ(r.tier, Tier::kHot);
  EXPECT_EQ(r.flags, n.flags | (3u << 10));
  EngineNode two = test_node(6);
  two.bitset = {1, 2, 3};
  store_node(*e, two);
  EXPECT_EQ((*e->read_stored_node(6))->bitset, (std::vector<uint64_t>{1, 2}));
}

TEST(ReadStoredNode, ReadabilityTable) {
  struct Case {
    const char* name;
    VectorRepr vector;
    void (*edit)(NodeRecordHeader&);
    bool present;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Case cases[] = {
      {"as stored", VectorRepr::f32({1, 2}), [](NodeRecordHeader&) {}, true},
      {"vector_offset low bit", VectorRepr::f32({1, 2}),
       [](NodeRecordHeader& h) { h.vector_offset |= 1; }, false},
      {"deleted", VectorRepr::f32({1, 2}), [](NodeRecordHeader& h) { h.flags |= 8; }, false},
      {"payload past the buffer", VectorRepr::f32({1, 2}),
       [](NodeRecordHeader& h) { h.vector_len = 0x7FFFFFFF; }, false},
      {"binary off an 8-byte boundary", VectorRepr::binary({1}),
       [](NodeRecordHeader& h) { h.vector_offset += 4; }, false},
      {"8-bit with a NaN scale", VectorRepr::sq8(nan, {1, 2}), [](NodeRecordHeader&) {}, false},
      {"another node's record", VectorRepr::f32({1, 2}),
       [](NodeRecordHeader& h) { h.node_id += 1000; }, false},
      {"unknown kind", VectorRepr::f32({1, 2}),
       [](NodeRecordHeader& h) { h.flags = (h.flags & ~kVectorKindMask) | (9u << 10); }, true},
  };
  for (const Case& c : cases) {
    auto e = memory_engine();
    const uint64_t off = store_node(*e, test_node(5, c.vector));
    patch_header(*e, off, c.edit);
    auto got = e->read_stored_node(5);
    ASSERT_TRUE(got.ok()) << c.name;
    EXPECT_EQ(got->has_value(), c.present) << c.name;
    auto many = e->get_many(std::vector<NodeId>{5});
    ASSERT_TRUE(many.ok());
    EXPECT_EQ(many->size(), c.present ? 1u : 0u) << c.name;
    auto page = e->scan_all_nodes();
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page->size(), c.present ? 1u : 0u) << c.name;
  }
}

TEST(ReadStoredNode, HeaderOutsideCapacityAndSegmentOutOfRange) {
  auto e = memory_engine();
  store_node(*e, test_node(5));
  const uint64_t cap = seg0(*e).capacity();
  ASSERT_TRUE(e->vector_index()->set_storage_offset(5, cap - 32 - 32));  // header would end past
  EXPECT_FALSE(e->read_stored_node(5)->has_value());
  ASSERT_TRUE(e->vector_index()->set_storage_offset(5, 64 | 3));
  for (auto r : {e->read_stored_node(5), e->get(5)}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "Generic error: corrupt storage: segment 3 out of range for node 5");
  }
  auto many = e->get_many(std::vector<NodeId>{5});
  ASSERT_FALSE(many.ok());
  auto scan = e->scan_all_nodes();
  ASSERT_FALSE(scan.ok());
  EXPECT_EQ(scan.error().message(), "Generic error: corrupt storage: segment 3 out of range for node 5");
}

TEST(ReadStoredNode, EmptyStoredVectorTakesTheIndexsQuantizedCopy) {
  auto e = memory_engine();
  // Stored without a vector (kind 0, length 0); the index holds an 8-bit copy.
  store_node(*e, test_node(5, VectorRepr::none()));
  ASSERT_TRUE(e->vector_index()->add(5, FilterBitset(), VectorRepr::sq8(0.5f, {1, 2}), 64).ok());
  EXPECT_EQ((*e->read_stored_node(5))->vector, VectorRepr::sq8(0.5f, {1, 2}));
  EXPECT_EQ((*e->get_many(std::vector<NodeId>{5}))[0].vector, VectorRepr::sq8(0.5f, {1, 2}));
  // The scan returns the stored form: an empty f32 vector.
  EXPECT_EQ((*e->scan_all_nodes())[0].vector, VectorRepr::f32({}));
  ASSERT_TRUE(e->vector_index()->add(5, FilterBitset(), VectorRepr::f32({1, 2}), 64).ok());
  EXPECT_TRUE((*e->read_stored_node(5))->vector.is_none());
}

TEST(ReadStoredNode, UndecodableAndOversizedValues) {
  auto e = memory_engine();
  store_node(*e, test_node(5));
  store_node(*e, test_node(6));
  ASSERT_TRUE(e->backend->put(Partition::kDefault, node_key(5), std::string("\x01", 1)).ok());
  auto g = e->get(5);
  ASSERT_FALSE(g.ok());
  EXPECT_TRUE(g.error().is(ZolvaErrorKind::kSerialization));
  auto many = e->get_many(std::vector<NodeId>{5, 6});
  ASSERT_TRUE(many.ok());
  ASSERT_EQ(many->size(), 1u);
  EXPECT_EQ((*many)[0].id, NodeId{6});
  EXPECT_EQ(e->scan_all_nodes()->size(), 1u);

  std::string huge(kMaxStoredValueBytes + 1, '\0');
  ASSERT_TRUE(e->backend->put(Partition::kDefault, node_key(6), huge).ok());
  huge.clear();
  huge.shrink_to_fit();
  auto big = e->get(6);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().message(),
            "Serialization error: node metadata payload of 134217729 bytes exceeds 134217728 byte cap");
}

TEST(NodeGet, NeverStoredIdIsCountedAndAbsent) {
  auto e = memory_engine();
  auto r = e->get(77);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->has_value());
  ASSERT_TRUE(e->access_tracker->entry(77).has_value());
  EXPECT_EQ(e->access_tracker->entry(77)->count, 1u);
  e->access_tracker->forget(77);
  EXPECT_FALSE(e->access_tracker->entry(77).has_value());
}

TEST(NodeGet, CachedNodeCountersBumpOnlyWhenTheCacheIsFree) {
  auto e = memory_engine();
  EngineNode n = test_node(5);
  n.last_accessed = 1;
  e->node_cache.put(n);
  ASSERT_TRUE(e->get(5)->has_value());
  ASSERT_TRUE(e->get(5)->has_value());
  EXPECT_EQ(e->node_cache.find(5)->hits, 2u);
  EXPECT_GT(e->node_cache.find(5)->last_accessed, 1u);
  std::promise<void> held, release;
  std::thread reader([&] {
    std::shared_lock lock(e->node_cache.mutex());
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  auto r = e->get(5);
  ASSERT_TRUE(r.ok() && r->has_value());
  EXPECT_EQ((*r)->hits, 2u);
  release.set_value();
  reader.join();
  EXPECT_EQ(e->node_cache.find(5)->hits, 2u);
}

TEST(NodeGet, CachedDeletedNodeIsAbsentWithoutReadingStorage) {
  auto e = memory_engine();
  EngineNode n = test_node(5);
  store_node(*e, n);
  n.flags |= kNodeFlagDeleted;
  e->node_cache.put(n);
  EXPECT_FALSE(e->get(5)->has_value());
  EXPECT_TRUE(e->get_many(std::vector<NodeId>{5})->empty());
  EXPECT_TRUE(e->read_stored_node(5)->has_value());
}

TEST(NodeGet, PrefetchWarmsTheStrongestCompanionsOneLevelDeep) {
  auto e = memory_engine();
  for (NodeId id : {1, 2, 3, 4, 5, 6}) store_node(*e, test_node(id));
  auto report = [&](NodeId a, NodeId b, int times) {
    for (int i = 0; i < times; ++i) e->cache_warmer.record_access(std::vector<NodeId>{a, b});
  };
  report(1, 2, 5);
  report(1, 3, 4);
  report(1, 4, 3);
  report(1, 5, 2);
  report(2, 6, 9);  // a companion of a companion: not warmed
  auto r = e->get(1);
  ASSERT_TRUE(r.ok() && r->has_value());
  EXPECT_TRUE(e->node_cache.find(2).has_value());
  EXPECT_TRUE(e->node_cache.find(3).has_value());
  EXPECT_TRUE(e->node_cache.find(4).has_value());
  EXPECT_FALSE(e->node_cache.find(5).has_value());
  EXPECT_FALSE(e->node_cache.find(1).has_value());
  EXPECT_FALSE(e->node_cache.find(6).has_value());
  EXPECT_EQ(e->cache_warmer.prefetched.load(), 3u);
  EXPECT_EQ(e->access_tracker->entry(2)->count, 1u);  // the nested read counted
}

TEST(NodeCacheGeneration, AWriterBetweenReadAndInsertVoidsTheInsert) {
  NodeCache cache;
  const uint64_t seen = cache.generation();
  cache.remove(9);  // a writer deleted node 9 while it was being read
  EXPECT_FALSE(cache.insert_if_unchanged(test_node(9), seen));
  EXPECT_FALSE(cache.find(9).has_value());
  const uint64_t now = cache.generation();
  EXPECT_TRUE(cache.insert_if_unchanged(test_node(9), now));
  EngineNode newer = test_node(9);
  newer.importance = 0.9f;
  cache.put(newer);
  EXPECT_FALSE(cache.insert_if_unchanged(test_node(9), cache.generation()));  // present already
  EXPECT_EQ(cache.find(9)->importance, 0.9f);
}

TEST(NodeGet, PrefetchDropsACopyThatAWriterReplacedDuringTheRead) {
  EngineParts parts = StorageEngine::memory_mode_parts(Config{});
  auto backend = std::make_shared<testing::HookedBackend>();
  parts.backend = backend;
  auto e = StorageEngine::assemble(std::move(parts));
  store_node(*e, test_node(1));
  EngineNode old = test_node(2);
  store_node(*e, old);
  for (int i = 0; i < 3; ++i) e->cache_warmer.record_access(std::vector<NodeId>{1, 2});
  // While prefetch reads node 2, a writer replaces it and clears its entry.
  backend->on_get_key = node_key(2);
  backend->on_get = [&] {
    EngineNode fresh = test_node(2);
    fresh.set_field("k", FieldValue::string("new"));
    ASSERT_TRUE(backend->inner.put(Partition::kDefault, node_key(2),
                                   encode_node_metadata(node_metadata_of(fresh, 1))).ok());
    e->node_cache.remove(2);
  };
  ASSERT_TRUE(e->get(1)->has_value());
  EXPECT_FALSE(backend->on_get);  // the hook ran inside the prefetch
  EXPECT_FALSE(e->node_cache.find(2).has_value());
  EXPECT_EQ(*(*e->get(2))->get_field("k")->if_string(), "new");
  // Without a writer in between, the companion is warmed.
  e->node_cache.remove(1);
  ASSERT_TRUE(e->get(1)->has_value());
  EXPECT_TRUE(e->node_cache.find(2).has_value());
}

TEST(NodeGetMany, OrderCachedFirstAndWhatIsReported) {
  auto e = memory_engine();
  const NodeId a = 1, b = 2, c = 3;
  for (NodeId id : {a, b, c}) store_node(*e, test_node(id));
  EXPECT_TRUE(e->get_many(std::vector<NodeId>{})->empty());
  e->node_cache.put(*e->read_stored_node(b).value());
  auto got = e->get_many(std::vector<NodeId>{a, b, c});
  ASSERT_TRUE(got.ok());
  ASSERT_EQ(got->size(), 3u);
  EXPECT_EQ((*got)[0].id, b);
  EXPECT_EQ((*got)[1].id, a);
  EXPECT_EQ((*got)[2].id, c);
  EXPECT_EQ(e->cache_warmer.count(b, a), 1u);
  EXPECT_EQ(e->cache_warmer.count(a, c), 1u);
  EXPECT_FALSE(e->cache_warmer.count(a, b).has_value());

  auto all = memory_engine();
  for (NodeId id : {a, b, c}) {
    store_node(*all, test_node(id));
    all->node_cache.put(*all->read_stored_node(id).value());
  }
  auto cached = all->get_many(std::vector<NodeId>{a, b, c});
  ASSERT_EQ(cached->size(), 3u);
  EXPECT_EQ((*cached)[0].id, a);
  EXPECT_EQ((*cached)[2].id, c);
  EXPECT_EQ(all->cache_warmer.calls(), 0u);

  auto twice = e->get_many(std::vector<NodeId>{c, c, 99});
  ASSERT_EQ(twice->size(), 2u);
  EXPECT_EQ((*twice)[0].id, c);
  EXPECT_EQ((*twice)[1].id, c);
  EXPECT_EQ(e->access_tracker->entry(99)->count, 1u);
}

TEST(NodeGetMany, KindBitsKeptBySingleReadsClearedByBatchReads) {
  auto e = memory_engine();
  store_node(*e, test_node(5, VectorRepr::sq8(1.0f, {1, 2})));
  const uint32_t single = (*e->get(5))->flags;
  EXPECT_EQ((single >> 10) & 0xF, 4u);
  const uint32_t batch = (*e->get_many(std::vector<NodeId>{5}))[0].flags;
  EXPECT_EQ(batch & kVectorKindMask, 0u);
  EXPECT_EQ(batch, single & ~kVectorKindMask);
}

TEST(NodeGetMany, MalformedBackendKeyFailsTheCall) {
  EngineParts parts = StorageEngine::memory_mode_parts(Config{});
  auto backend = std::make_shared<testing::HookedBackend>();
  backend->truncate_multi_get_key = true;
  parts.backend = backend;
  auto e = StorageEngine::assemble(std::move(parts));
  store_node(*e, test_node(5));
  auto r = e->get_many(std::vector<NodeId>{5});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Backend error: corrupt backend: key length 15 != 16");
}

}  // namespace
}  // namespace zv
