#include "src/index/hnsw_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/index/index_file.h"
#include "src/index/testing/index_fixture.h"
#include "src/index/testing/resident.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

using testing::add_at;
using testing::euclidean_config;
using testing::make_index;

TEST(HnswIndexTest, EmptyIndexAnswersEveryQueryEmpty) {
  auto index = make_index(euclidean_config());
  EXPECT_EQ(index->memory_usage(), 0u);
  EXPECT_FALSE(index->top_level_node());
  EXPECT_FALSE(index->integrity_violations());
  EXPECT_TRUE(index->bfs_order().empty());
  const MaterializeReport rep = index->materialize_layers();
  EXPECT_EQ(rep.entries_examined + rep.lists_examined + rep.dangling_ids, 0u);
  EXPECT_EQ(index->len(), 0u);
  EXPECT_TRUE(index->is_empty());
  EXPECT_TRUE(index->node_ids().empty());
  EXPECT_TRUE(index->node_summaries().empty());
  EXPECT_FALSE(index->entry_point());
  const std::vector<float> q = {1, 2};
  for (auto metric : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    EXPECT_TRUE(index->search_nearest_with_metric(q, FilterBitset::unfiltered(), 5, nullptr, metric)
                    .empty());
    for (uint8_t method : {0, 2, 3, 5}) {
      auto r = index->search_by_method(method, q, FilterBitset::unfiltered(), 5, metric);
      ASSERT_TRUE(r.ok());
      EXPECT_TRUE(r->empty()) << int(method);
    }
  }
}

TEST(HnswIndexTest, UnknownIdsAnswerNone) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {1, 0});
  const NodeId unknown = 99;
  EXPECT_FALSE(index->storage_offset(unknown));
  EXPECT_FALSE(index->vector(unknown));
  EXPECT_FALSE(index->vector_and_offset(unknown));
  EXPECT_FALSE(index->is_sq8(unknown));
  EXPECT_FALSE(index->contains(unknown));
  EXPECT_TRUE(index->neighbors(unknown, 0).empty());
  EXPECT_TRUE(index->node_layer_neighbors(unknown, 0).empty());
  EXPECT_TRUE(index->neighbors(1, 7).empty()) << "layer above the node's top";
  EXPECT_EQ(index->node_level(unknown), 0u);
  EXPECT_FALSE(index->set_storage_offset(unknown, 5));
  EXPECT_FALSE(index->remove(unknown));
  EXPECT_EQ(index->len(), 1u);
}

// memory_usage() follows what the index really holds: the growth of the
// process while an index is built, and its fall when nodes go.
bool memory_usage_within_a_tenth_of_resident_growth() {
  constexpr size_t kDim = 128, kNodes = 10000;
  const auto data = testing::gaussian_vectors(kNodes, kDim, 3);
  const uint64_t before = testing::resident_bytes();
  auto index = make_index(euclidean_config());
  if (index->memory_usage() != 0) return false;
  for (size_t i = 0; i < kNodes; ++i) {
    std::vector<float> v(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
    if (!index->add_at_level(i + 1, FilterBitset(), VectorRepr::f32(v), i, index->random_level())
             .ok())
      return false;
  }
  const double grown = static_cast<double>(testing::resident_bytes() - before);
  const double reported = static_cast<double>(index->memory_usage());
  std::fprintf(stderr, "reported %.0f, resident growth %.0f\n", reported, grown);
  if (std::abs(reported - grown) > 0.1 * grown) return false;
  for (size_t i = 0; i < kNodes; ++i)
    if (!index->remove(i + 1)) return false;
  if (static_cast<double>(index->memory_usage()) > reported) return false;
  // The values are held once, in the search views: the same nodes added
  // again take them back rather than a second copy.
  for (size_t i = 0; i < kNodes; ++i) {
    std::vector<float> v(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
    if (!index->add_at_level(i + 1, FilterBitset(), VectorRepr::f32(v), i, 0).ok()) return false;
  }
  const double again = static_cast<double>(index->memory_usage());
  std::fprintf(stderr, "after adding again %.0f\n", again);
  return again < reported + 0.1 * kNodes * kDim * sizeof(float);
}

// memory_usage() follows what the index really holds: the growth of the
// process while an index is built, and its fall when nodes go.
TEST(HnswIndexTest, MemoryUsageFollowsResidentMemory) {
  ZV_EXPECT_IN_FRESH_PROCESS(memory_usage_within_a_tenth_of_resident_growth());
}

TEST(HnswIndexTest, LookupsAndCounters) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {1, 0}, 2);
  add_at(*index, 2, {0, 1});
  ASSERT_TRUE(index->add(3, FilterBitset(), VectorRepr::sq8(1.0f, {1, 2}), 30).ok());
  EXPECT_EQ(index->storage_offset(1), 1u);
  EXPECT_EQ(index->vector_and_offset(2)->second, VectorRepr::f32({0, 1}));
  EXPECT_EQ(index->is_sq8(3), true);
  EXPECT_EQ(index->is_sq8(1), false);
  EXPECT_EQ(index->node_level(1), 3u);
  EXPECT_EQ(index->max_level(), 2u);
  EXPECT_EQ(index->entry_point(), NodeId{1});
  EXPECT_TRUE(index->set_storage_offset(2, 77));
  EXPECT_EQ(index->storage_offset(2), 77u);
  EXPECT_EQ(index->node_summaries().size(), 3u);
  index->sub_node_count(2);
  EXPECT_EQ(index->node_count(), 1u);
  EXPECT_EQ(index->len(), 3u);
}

TEST(HnswIndexTest, RemovingTheEntryPointLeavesItToTheCaller) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {1, 0}, 1);
  add_at(*index, 2, {0, 1});
  ASSERT_TRUE(index->remove(1));
  EXPECT_EQ(index->entry_point(), NodeId{1});
  EXPECT_EQ(index->node_count(), 2u);
  EXPECT_EQ(index->len(), 1u);
  auto v = index->integrity_violations();
  ASSERT_TRUE(v);
  EXPECT_EQ(v->back(), "Entry point 1 does not exist in the node map");
  index->set_entry_point(*index->top_level_node());
  EXPECT_EQ(index->entry_point(), NodeId{2});
  index->set_entry_point(kMaxNodeId);
  EXPECT_FALSE(index->entry_point());
}

// Nodes 3, 4, 7 and 9 on layer 0 with hand-written lists.
std::unique_ptr<HnswIndex> four_node_graph() {
  auto index = make_index(euclidean_config());
  for (NodeId id : {3, 4, 7, 9}) add_at(*index, id, {float(id), 0});
  const std::vector<NodeId> l7 = {3, 9, 4}, l3 = {9}, none = {};
  index->store_layer_list(7, 0, l7);
  index->store_layer_list(3, 0, l3);
  index->store_layer_list(4, 0, none);
  index->store_layer_list(9, 0, none);
  return index;
}

TEST(HnswIndexTest, IntegrityMessages) {
  auto index = four_node_graph();
  EXPECT_FALSE(index->integrity_violations());
  const std::vector<NodeId> self = {4};
  index->store_layer_list(4, 0, self);
  ASSERT_TRUE(index->remove(9));
  auto v = index->integrity_violations();
  ASSERT_TRUE(v);
  const std::vector<std::string> want = {
      "Node 3 references non-existent neighbor 9 at layer 0",
      "Node 4 has a self-loop at layer 0",
      "Node 7 references non-existent neighbor 9 at layer 0",
  };
  EXPECT_EQ(*v, want);
}

TEST(HnswIndexTest, MaterializeRemovesDanglingIds) {
  auto index = four_node_graph();
  EXPECT_EQ(index->reverse_link_count(9), 2u);
  ASSERT_TRUE(index->remove(9));
  const MaterializeReport rep = index->materialize_layers();
  EXPECT_EQ(rep.entries_examined, 4u);  // layer-count entries stay for removed nodes
  EXPECT_EQ(rep.lists_examined, 4u);
  EXPECT_EQ(rep.dangling_ids, 2u);
  EXPECT_EQ(index->neighbors(7, 0), (std::vector<NodeId>{3, 4}));
  EXPECT_EQ(index->node_layer_neighbors(7, 0), (std::vector<NodeId>{3, 4}));
  EXPECT_TRUE(index->neighbors(3, 0).empty());
  EXPECT_EQ(index->reverse_link_count(9), 0u);
  EXPECT_FALSE(index->integrity_violations());
}

TEST(HnswIndexTest, BfsOrder) {
  auto index = make_index(euclidean_config());
  for (NodeId id : {5, 9, 1, 2}) add_at(*index, id, {float(id), 1});
  const std::vector<NodeId> l2 = {9, 1}, none = {};
  for (NodeId id : {5, 9, 1}) index->store_layer_list(id, 0, none);
  index->store_layer_list(2, 0, l2);
  index->set_entry_point(kMaxNodeId);
  EXPECT_EQ(index->bfs_order(), (std::vector<NodeId>{1, 2, 5, 9}));
  index->set_entry_point(2);
  EXPECT_EQ(index->bfs_order(), (std::vector<NodeId>{2, 9, 1, 5}));
}

TEST(HnswIndexTest, TopLevelNodeTieGoesToTheLastVisited) {
  auto index = make_index(euclidean_config());
  add_at(*index, 1, {1, 0}, 2);
  add_at(*index, 2, {0, 1}, 2);
  add_at(*index, 3, {1, 1}, 0);
  EXPECT_EQ(index->top_level_node(), NodeId{2});
}

TEST(HnswIndexTest, MutationCounterCountsRecordChanges) {
  auto index = make_index(euclidean_config());
  uint64_t last = index->mutation_count();
  auto changed = [&] {
    const uint64_t now = index->mutation_count();
    const bool moved = now > last;
    last = now;
    return moved;
  };
  add_at(*index, 1, {1, 0});
  EXPECT_TRUE(changed()) << "insert";
  ASSERT_TRUE(index->add(1, FilterBitset(), VectorRepr::f32({0, 1}), 1).ok());
  EXPECT_TRUE(changed()) << "update in place";
  (void)index->search_by_method(2, std::vector<float>{1, 0}, FilterBitset::unfiltered(), 1,
                                DistanceMetric::kEuclidean);
  EXPECT_FALSE(changed()) << "search";
  // The vectors and filters an IVF cache is built from stay as they were.
  EXPECT_TRUE(index->set_storage_offset(1, 9));
  EXPECT_FALSE(changed()) << "storage offset";
  EXPECT_TRUE(index->remove(1));
  EXPECT_TRUE(changed()) << "remove";
}

TEST(HnswIndexTest, BackingAndEmptyLike) {
  testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "vector_index.bin");
  HnswConfig cfg = euclidean_config(123);
  cfg.m = 7;
  cfg.ef_search = 55;
  cfg.adaptive_ef = true;
  cfg.index_type = static_cast<uint8_t>(IndexKind::kIvf);

  HnswIndex mem(cfg, IndexBacking::in_memory());
  EXPECT_FALSE(mem.is_mmap_backed());
  EXPECT_FALSE(mem.backing_path());
  EXPECT_FALSE(mem.mmap_resident_bytes());
  EXPECT_TRUE(mem.sync_mmap().ok());
  auto mem_like = mem.empty_like(path);
  EXPECT_FALSE(mem_like->is_mmap_backed());

  HnswIndex file(cfg, IndexBacking::unmapped(path));
  EXPECT_TRUE(file.is_mmap_backed());
  EXPECT_EQ(file.backing_path(), path);
  EXPECT_FALSE(file.mmap_resident_bytes()) << "file does not exist yet";
  ASSERT_TRUE(fs::write_file(path, std::string(3 * 4096, 'x')).ok());
  EXPECT_TRUE(file.mmap_resident_bytes());
  const std::string other = fs::join(dir.path(), "other.bin");
  auto like = file.empty_like(other);
  auto* like_index = dynamic_cast<HnswIndex*>(like.get());
  ASSERT_NE(like_index, nullptr);
  EXPECT_EQ(like_index->config(), cfg);
  EXPECT_EQ(like_index->backing().state(), IndexBacking::State::kUnmapped);
  EXPECT_EQ(like->backing_path(), other);
  EXPECT_TRUE(like->is_empty());
}

TEST(HnswIndexTest, LevelsForBatchAreReproducible) {
  auto index = make_index(euclidean_config());
  const auto a = index->levels_for_batch(12345, 2000);
  EXPECT_EQ(a, index->levels_for_batch(12345, 2000));
  EXPECT_NE(a, index->levels_for_batch(12346, 2000));
  EXPECT_TRUE(index->levels_for_batch(1, 0).empty());
  // Level k has probability about 32^-k with ml = 1/ln 32.
  const size_t zeros = std::count(a.begin(), a.end(), 0u);
  EXPECT_GT(zeros, 1850u);
  EXPECT_LT(zeros, 1990u);
  EXPECT_LE(*std::max_element(a.begin(), a.end()), 10u);
  for (int i = 0; i < 100; ++i) EXPECT_LE(index->random_level(), 10u);
}

// Values the file reader would discard as corrupt are refused where they are
// set, so that no index writes a file its next load throws away.
TEST(HnswIndexTest, LimitsOfTheFileAreRefusedWhereTheyAreSet) {
  struct Case {
    void (*change)(HnswConfig&);
    const char* field;
  };
  const Case cases[] = {
      {[](HnswConfig& c) { c.ef_construction = (uint64_t{1} << 20) + 1; }, "ef_construction"},
      {[](HnswConfig& c) { c.ef_search = ~uint64_t{0}; }, "ef_search"},
      {[](HnswConfig& c) { c.m = (uint64_t{1} << 16) + 1; }, "m"},
      {[](HnswConfig& c) { c.m_max0 = uint64_t{1} << 40; }, "m_max0"},
      {[](HnswConfig& c) { c.ml = std::nan(""); }, "ml"},
  };
  for (const Case& c : cases) {
    HnswConfig cfg;
    c.change(cfg);
    auto r = HnswIndex::create(cfg, IndexBacking::in_memory());
    ASSERT_FALSE(r.ok()) << c.field;
    EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kValidation) << c.field;
    EXPECT_NE(r.error().message().find(c.field), std::string::npos) << r.error().message();
  }
  HnswConfig edge;
  edge.ef_construction = edge.ef_search = uint64_t{1} << 20;
  auto made = HnswIndex::create(edge, IndexBacking::in_memory());
  ASSERT_TRUE(made.ok());
  HnswIndex& index = **made;
  auto high = index.add_at_level(1, FilterBitset(), VectorRepr::f32({1, 0}), 0, 257);
  ASSERT_FALSE(high.ok());
  EXPECT_EQ(high.error().kind(), ZolvaErrorKind::kValidation);
  EXPECT_FALSE(index.contains(1));
  ASSERT_TRUE(index.add_at_level(2, FilterBitset(), VectorRepr::f32({1, 0}), 0, 256).ok());
  const std::string image = *serialize_index(index);
  auto back = deserialize_index(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(image.data()), image.size()));
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ((*back)->max_level(), 256u);
  EXPECT_EQ((*back)->config().ef_search, uint64_t{1} << 20);
}

}  // namespace
}  // namespace zv
