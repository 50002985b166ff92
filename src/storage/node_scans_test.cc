#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "src/storage/storage_engine.h"
#include "src/storage/testing/engine_fixture.h"

namespace zv {
namespace {

using testing::memory_engine;
using testing::store_node;
using testing::test_node;

std::vector<NodeId> ids_of(const std::vector<EngineNode>& nodes) {
  std::vector<NodeId> out;
  for (const auto& n : nodes) out.push_back(n.id);
  return out;
}

TEST(ScanCursor, ParsesDecimalIdsAndReadsAnythingElseAsZero) {
  EXPECT_FALSE(parse_scan_cursor("").has_value());
  for (const char* t : {"42", "+42", "0042", "+0042"}) EXPECT_EQ(parse_scan_cursor(t), NodeId{42}) << t;
  for (const char* t : {"-42", "4 2", "+", "-", "x", "42x", "340282366920938463463374607431768211456",
                        "99999999999999999999999999999999999999999"})
    EXPECT_EQ(parse_scan_cursor(t), NodeId{0}) << t;
  EXPECT_EQ(parse_scan_cursor("340282366920938463463374607431768211455"), kMaxNodeId);
}

TEST(NodeScans, CursorsAndLimitsOverThreeNodes) {
  auto e = memory_engine();
  for (NodeId id : {41, 42, 43}) store_node(*e, test_node(id));
  struct Case {
    const char* cursor;
    int64_t limit;
    std::vector<NodeId> ids;
    const char* next;
  } cases[] = {
      {"", -1, {41, 42, 43}, ""}, {"", 0, {}, ""},          {"", 2, {41, 42}, "42"},
      {"", 3, {41, 42, 43}, "43"}, {"", 4, {41, 42, 43}, ""}, {"42", -1, {43}, ""},
      {"+42", -1, {43}, ""},       {"0042", 1, {43}, "43"},    {"-42", -1, {41, 42, 43}, ""},
      {"4 2", -1, {41, 42, 43}, ""}, {"+", -1, {41, 42, 43}, ""},
      {"340282366920938463463374607431768211456", -5, {41, 42, 43}, ""},
      {"43", -1, {}, ""},
  };
  for (const Case& c : cases) {
    auto page = e->scan_nodes_page(c.cursor, c.limit);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(ids_of(page->first), c.ids) << c.cursor << " " << c.limit;
    EXPECT_EQ(page->second, c.next) << c.cursor << " " << c.limit;
  }
  auto empty = memory_engine();
  auto none = empty->scan_nodes_page("", -1);
  EXPECT_TRUE(none->first.empty());
  EXPECT_EQ(none->second, "");
}

TEST(NodeScans, SuccessivePagesNeitherSkipNorRepeat) {
  auto e = memory_engine();
  std::mt19937_64 rng(3);
  std::set<NodeId> stored;
  for (int i = 0; i < 60; ++i) {
    const NodeId id = make_node_id(rng() & 0xFF, rng());  // key order differs from id order
    stored.insert(id);
    store_node(*e, test_node(id));
  }
  std::vector<NodeId> seen;
  std::string cursor;
  for (int guard = 0; guard < 100; ++guard) {
    auto page = e->scan_nodes_page(cursor, 7);
    ASSERT_TRUE(page.ok());
    for (const auto& n : page->first) seen.push_back(n.id);
    cursor = page->second;
    if (cursor.empty()) break;
  }
  EXPECT_EQ(seen.size(), stored.size());
  EXPECT_EQ(std::set<NodeId>(seen.begin(), seen.end()), stored);
}

TEST(NodeScans, SkipsDeletedUnindexedAndUndecodableAndDecodesEveryKind) {
  auto e = memory_engine();
  std::vector<EngineNode> nodes = {
      test_node(1, VectorRepr::f32({1, 2, 3})),   test_node(2, VectorRepr::binary({5, 6})),
      test_node(3, VectorRepr::turbo({7, 8, 9})), test_node(4, VectorRepr::sq8(0.5f, {1, -1})),
      test_node(5, VectorRepr::none()),
  };
  nodes[1].bitset = {3, 4};
  for (const auto& n : nodes) store_node(*e, n);
  EngineNode del = test_node(6);
  del.flags |= kNodeFlagDeleted;
  store_node(*e, del);
  store_node(*e, test_node(7));
  ASSERT_TRUE(e->vector_index()->remove(7));
  store_node(*e, test_node(8));
  ASSERT_TRUE(e->backend->put(Partition::kDefault, node_key(8), "\xFF").ok());
  ASSERT_TRUE(e->backend->put(Partition::kDefault, std::string(15, 'k'), "x").ok());

  auto all = e->scan_all_nodes();
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(ids_of(*all), (std::vector<NodeId>{1, 2, 3, 4, 5}));
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ((*all)[i].vector, nodes[i].vector) << i;
  EXPECT_EQ((*all)[4].vector, VectorRepr::f32({}));
  EXPECT_EQ((*all)[1].bitset, (std::vector<uint64_t>{3, 4}));
  EXPECT_EQ((*all)[0].fields, nodes[0].fields);
  EXPECT_EQ(((*all)[3].flags >> 10) & 0xF, 4u);  // flags as stored
  // A scan counts no access and caches nothing.
  EXPECT_EQ(e->access_tracker->size(), 0u);
  EXPECT_EQ(e->node_cache.size(), 0u);
}

// A long page and small pages take the index's offsets differently; over the
// same hostile store they must return the same nodes, each equal to its get.
TEST(NodeScans, LongAndShortPagesAgreeOverAHostileStore) {
  auto e = memory_engine();
  std::mt19937_64 rng(11);
  std::vector<NodeId> ids;
  std::vector<uint64_t> offsets;
  for (int i = 0; i < 700; ++i) {
    const NodeId id = make_node_id(rng() & 0x3, rng());
    ids.push_back(id);
    offsets.push_back(store_node(*e, test_node(id, VectorRepr::f32({float(i), 1.0f}))));
  }
  // Unindexed, undecodable, pointed at another node's record, at a record
  // marked deleted, and a key that is no node key.
  ASSERT_TRUE(e->vector_index()->remove(ids[10]));
  ASSERT_TRUE(e->backend->put(Partition::kDefault, node_key(ids[20]), "\xFF").ok());
  ASSERT_TRUE(e->vector_index()->set_storage_offset(ids[30], offsets[31]));
  EngineNode del = test_node(make_node_id(1, 5));
  del.flags |= kNodeFlagDeleted;
  store_node(*e, del);
  ASSERT_TRUE(e->backend->put(Partition::kDefault, std::string(17, 'k'), "x").ok());
  // Indexed without a partition 0 record: not scanned.
  ASSERT_TRUE(e->vector_index()->add(make_node_id(2, 9), FilterBitset(), VectorRepr::none(),
                                     offsets[40]).ok());

  auto all = e->scan_all_nodes();
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), ids.size() - 3);
  std::vector<EngineNode> paged;
  std::string cursor;
  for (int guard = 0; guard < 1000; ++guard) {
    auto page = e->scan_nodes_page(cursor, 50);
    ASSERT_TRUE(page.ok());
    for (auto& n : page->first) paged.push_back(std::move(n));
    cursor = page->second;
    if (cursor.empty()) break;
  }
  ASSERT_EQ(all->size(), paged.size());
  for (size_t i = 0; i < paged.size(); ++i) {
    EngineNode a = (*all)[i], b = paged[i];
    a.last_accessed = b.last_accessed = 0;
    ASSERT_EQ(a, b) << i;
    auto got = e->read_stored_node(a.id);
    ASSERT_TRUE(got.ok() && got->has_value());
    (*got)->last_accessed = 0;
    EXPECT_EQ(**got, a) << i;
  }
}

}  // namespace
}  // namespace zv
