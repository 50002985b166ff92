#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "src/index/hnsw_index.h"
#include "src/index/testing/index_fixture.h"

namespace zv {
namespace {

using testing::add_at;
using testing::euclidean_config;
using testing::make_index;

TEST(HnswInsertTest, FirstNodeBecomesTheEntryPoint) {
  auto index = make_index(euclidean_config());
  add_at(*index, 5, {1, 2}, 3);
  EXPECT_EQ(index->entry_point(), NodeId{5});
  EXPECT_EQ(index->max_level(), 3u);
  EXPECT_EQ(index->node_level(5), 4u);
  EXPECT_EQ(index->node_count(), 1u);
  for (uint64_t l = 0; l < 4; ++l) EXPECT_TRUE(index->neighbors(5, l).empty()) << l;
}

TEST(HnswInsertTest, ZeroVectorsUnderCosineAreRefused) {
  struct Case {
    const char* name;
    DistanceMetric metric;
    VectorRepr v;
    bool ok;
  };
  const Case cases[] = {
      {"cosine zero", DistanceMetric::kCosine, VectorRepr::f32({0, 0, 0}), false},
      {"cosine empty", DistanceMetric::kCosine, VectorRepr::f32({}), false},
      {"cosine zero sq8", DistanceMetric::kCosine, VectorRepr::sq8(1.0f, {0, 0}), false},
      {"euclidean zero", DistanceMetric::kEuclidean, VectorRepr::f32({0, 0, 0}), true},
      {"euclidean empty", DistanceMetric::kEuclidean, VectorRepr::f32({}), true},
  };
  for (const Case& c : cases) {
    HnswConfig cfg;
    cfg.metric = c.metric;
    HnswIndex index(cfg, IndexBacking::in_memory());
    const NodeId id = make_node_id(1, 2);  // 18446744073709551618
    auto r = index.add(id, FilterBitset(), c.v, 0);
    EXPECT_EQ(r.ok(), c.ok) << c.name;
    EXPECT_EQ(index.contains(id), c.ok) << c.name;
    if (!r.ok()) {
      EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kInvalidInput) << c.name;
      EXPECT_EQ(r.error().message(),
                "Invalid input: cannot index node 18446744073709551618: zero-norm vector is "
                "undefined under cosine similarity")
          << c.name;
      EXPECT_EQ(index.node_count(), 0u) << c.name;
    }
  }
}

TEST(HnswInsertTest, FormsWithoutF32CopyAreStoredUnlinked) {
  struct Case {
    const char* name;
    VectorRepr v;
  };
  const Case cases[] = {
      {"binary", VectorRepr::binary({7})},
      {"turbo", VectorRepr::turbo({0x12})},
      {"mapped without view", VectorRepr::mmap_full(std::nullopt)},
  };
  for (const Case& c : cases) {
    auto index = make_index(euclidean_config());
    ASSERT_TRUE(index->add_at_level(9, FilterBitset(), c.v, 4, 3).ok()) << c.name;
    EXPECT_TRUE(index->contains(9)) << c.name;
    EXPECT_EQ(index->node_level(9), 1u) << c.name;
    EXPECT_FALSE(index->entry_point()) << c.name << " never becomes the entry point";
    EXPECT_EQ(index->max_level(), 0u) << c.name;
    EXPECT_EQ(index->node_count(), 1u) << c.name;
  }
}

TEST(HnswInsertTest, VectorlessNodeIsStoredWithoutLinks) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {1, 0});
  ASSERT_TRUE(index->add(2, FilterBitset(), VectorRepr::none(), 20).ok());
  EXPECT_TRUE(index->contains(2));
  EXPECT_EQ(index->node_level(2), 1u);
  EXPECT_EQ(index->vector(2)->kind(), VectorKind::kNone);
  EXPECT_EQ(index->node_count(), 2u);
  EXPECT_TRUE(index->neighbors(1, 0).empty());
}

TEST(HnswInsertTest, Sq8VectorIsLinkedByItsDecodedValues) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {2, 0});
  add_at(*index, 2, {0, 2});
  ASSERT_TRUE(index->add_at_level(3, FilterBitset(), VectorRepr::sq8(2.0f, {127, 0}), 3, 0).ok());
  EXPECT_FALSE(index->neighbors(3, 0).empty());
  auto hits = index->search_nearest(std::vector<float>{2, 0.1f}, std::nullopt, std::nullopt,
                                    FilterBitset::unfiltered(), 2, nullptr);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(std::set<NodeId>({hits[0].id, hits[1].id}), std::set<NodeId>({1, 3}));
}

TEST(HnswInsertTest, ReinsertRefreshesTheRecordButNotTheGraph) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {1, 0}, 1);
  add_at(*index, 2, {0, 1}, 1);
  add_at(*index, 3, {1, 1});
  const auto before0 = index->neighbors(3, 0);
  ASSERT_TRUE(index->add_at_level(3, FilterBitset({5}), VectorRepr::f32({9, 9}), 333, 4).ok());
  EXPECT_EQ(index->vector(3), VectorRepr::f32({9, 9}));
  EXPECT_EQ(index->storage_offset(3), 333u);
  EXPECT_EQ(index->neighbors(3, 0), before0);
  EXPECT_EQ(index->node_level(3), 1u);
  EXPECT_EQ(index->max_level(), 1u);
  EXPECT_EQ(index->node_count(), 3u);
}

// y = (0,0) holds [a, b] on layer 1 with a = (1,0), b = (1.1,0); appending
// x = (0,2) with limit 2 prunes y's list. b lies closer to a than to y, so
// the diversity rule keeps a and x; b then stays only while at most one list
// points at it.
TEST(HnswInsertTest, PruningKeepsDiverseNeighboursThenLowInDegreeOnes) {
  for (bool b_is_popular : {false, true}) {
    HnswConfig cfg = euclidean_config();
    cfg.m = 2;
    auto index = make_index(cfg);
    const NodeId y = 1, a = 2, b = 3, x = 4;
    add_at(*index, y, {0, 0}, 1);
    add_at(*index, a, {1, 0}, 1);
    add_at(*index, b, {1.1f, 0}, 1);
    add_at(*index, x, {0, 2}, 1);
    // Rewrite every list so that the reverse-link counts are known.
    const std::vector<NodeId> none, ab = {a, b}, only_b = {b};
    for (uint64_t l : {0, 1})
      for (NodeId id : {y, a, b, x}) index->store_layer_list(id, l, none);
    index->store_layer_list(y, 1, ab);
    if (b_is_popular) index->store_layer_list(a, 1, only_b);
    const uint32_t b_count = index->reverse_link_count(b);
    ASSERT_EQ(b_count, b_is_popular ? 2u : 1u);

    const std::vector<NodeId> to_y = {y};
    index->add_reverse_links(x, to_y, 1, 2);
    const auto list = index->neighbors(y, 1);
    if (b_is_popular) {
      EXPECT_EQ(list, (std::vector<NodeId>{a, x}));
      EXPECT_EQ(index->reverse_link_count(b), 1u) << "dropped id loses one count";
    } else {
      EXPECT_EQ(list, (std::vector<NodeId>{a, x, b}));
    }
    EXPECT_EQ(index->node_layer_neighbors(y, 1), list) << "the record gets the pruned list";
    EXPECT_EQ(index->reverse_link_count(x), 1u);
  }
}

TEST(HnswInsertTest, ReverseLinkIsAppendedOnceWithoutPruningUnderTheLimit) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {0, 0});
  add_at(*index, 2, {1, 0});
  const std::vector<NodeId> none, to1 = {1};
  index->store_layer_list(1, 0, none);
  index->add_reverse_links(2, to1, 0, 64);
  index->add_reverse_links(2, to1, 0, 64);
  EXPECT_EQ(index->neighbors(1, 0), (std::vector<NodeId>{2}));
  EXPECT_EQ(index->reverse_link_count(2), 1u);
  EXPECT_EQ(index->node_layer_neighbors(1, 0), (std::vector<NodeId>{2}));
}

TEST(HnswInsertTest, ReverseLinksReachTheListTheSearchWalks) {
  auto index = make_index(euclidean_config());
  // Node 2 sits in the middle: it links to 1 on insertion, and 3, 4 and 5,
  // each nearest to it, link back to it later.
  const std::vector<std::vector<float>> at = {{1, 0}, {0, 0}, {-1, 0}, {0, 1}, {0, -1}};
  for (NodeId id = 1; id <= 5; ++id) add_at(*index, id, at[id - 1]);
  const auto own = index->node_layer_neighbors(2, 0);
  EXPECT_EQ(std::set<NodeId>(own.begin(), own.end()), (std::set<NodeId>{1, 3, 4, 5}));
  const auto map = index->neighbors(2, 0);
  EXPECT_EQ(std::set<NodeId>(map.begin(), map.end()), std::set<NodeId>(own.begin(), own.end()));
}

TEST(HnswInsertTest, ZeroConstructionWidthLinksOneNeighbourPerLayer) {
  HnswConfig cfg = euclidean_config();
  cfg.ef_construction = 0;
  auto index = make_index(cfg);
  for (NodeId id = 1; id <= 20; ++id) add_at(*index, id, {float(id), 0});
  // The last node's list is its own insertion's; earlier lists also hold
  // the links later nodes added back to them.
  EXPECT_EQ(index->node_layer_neighbors(20, 0).size(), 1u);
}

TEST(HnswInsertTest, HugeWidthsFromConfigAndCallersDoNotAbort) {
  HnswConfig cfg = euclidean_config();
  cfg.ef_construction = std::numeric_limits<uint64_t>::max();
  cfg.ef_search = std::numeric_limits<uint64_t>::max() / 3;
  auto index = make_index(cfg);
  for (NodeId id = 1; id <= 60; ++id) add_at(*index, id, {float(id % 7), float(id / 7)});
  auto hits = index->search_nearest(std::vector<float>{0, 0}, std::nullopt, std::nullopt,
                                    FilterBitset::unfiltered(),
                                    std::numeric_limits<uint64_t>::max(), nullptr);
  EXPECT_EQ(hits.size(), 60u);
  EXPECT_FALSE(index->integrity_violations());
}

TEST(HnswInsertTest, DrawnLevelsFollowTheIndexGenerator) {
  // Two indexes fed the same insertions draw the same levels.
  HnswConfig cfg = euclidean_config();
  cfg.ml = 1.0;  // many levels, so that a difference would show
  auto a = make_index(cfg), b = make_index(cfg);
  for (NodeId id = 1; id <= 200; ++id) {
    const std::vector<float> v = {float(id), float(id % 13)};
    ASSERT_TRUE(a->add(id, FilterBitset(), VectorRepr::f32(v), 0).ok());
    ASSERT_TRUE(b->add(id, FilterBitset(), VectorRepr::f32(v), 0).ok());
  }
  uint64_t levels_above_zero = 0;
  for (NodeId id = 1; id <= 200; ++id) {
    EXPECT_EQ(a->node_level(id), b->node_level(id)) << uint64_t(id);
    levels_above_zero += a->node_level(id) > 1;
  }
  EXPECT_GT(levels_above_zero, 50u);
  EXPECT_EQ(a->max_level() + 1, a->node_level(*a->entry_point()));
  EXPECT_FALSE(a->integrity_violations());
}

}  // namespace
}  // namespace zv
