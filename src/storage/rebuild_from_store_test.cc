#include "src/storage/rebuild_from_store.h"

#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <unordered_set>

#include "platform/log.h"
#include "src/index/hnsw_index.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

EngineNode node_with(NodeId id, VectorRepr v, uint32_t extra_flags = 0) {
  EngineNode n = EngineNode::create(id);
  n.vector = std::move(v);
  n.flags |= extra_flags;
  return n;
}

uint64_t append(VFile& f, const EngineNode& n) {
  auto p = f.append_node(n);
  EXPECT_TRUE(p.ok());
  return p.ok() ? *p : 0;
}

std::unique_ptr<HnswIndex> fresh(DistanceMetric metric = DistanceMetric::kCosine) {
  HnswConfig c;
  c.metric = metric;
  return std::make_unique<HnswIndex>(c, IndexBacking::in_memory());
}

// Forwards to an HnswIndex and refuses the add of one id.
class RefusingIndex final : public VectorIndexPort {
 public:
  explicit RefusingIndex(NodeId refused) : refused_(refused) {}
  HnswIndex& inner() { return *inner_; }

  ZolvaResult<void> add_at_level(NodeId id, const FilterBitset& f, VectorRepr v, uint64_t off,
                                 uint64_t level) override {
    if (id == refused_) return make_unexpected(ZolvaError::generic("refused " + node_id_to_string(id)));
    return inner_->add_at_level(id, f, std::move(v), off, level);
  }
  ZolvaResult<void> add(NodeId id, const FilterBitset& f, VectorRepr v, uint64_t off) override {
    return inner_->add(id, f, std::move(v), off);
  }
  uint64_t random_level() const override { return inner_->random_level(); }
  bool is_mmap_backed() const override { return false; }
  std::optional<std::string> backing_path() const override { return std::nullopt; }
  std::optional<uint64_t> mmap_resident_bytes() const override { return std::nullopt; }
  IoStatus sync_mmap() override { return {}; }
  std::unique_ptr<VectorIndexPort> empty_like(const std::string& p) const override {
    return inner_->empty_like(p);
  }
  IoStatus persist(const std::string& p) const override { return inner_->persist(p); }
  IoResult<std::unique_ptr<VectorIndexPort>> persist_and_remap(const std::string& p) const override {
    return inner_->persist_and_remap(p);
  }
  NearestResult search_nearest(std::span<const float> q, std::optional<std::span<const uint64_t>> a,
                               std::optional<alternate::TurboQuery> b, const FilterBitset& m,
                               uint64_t k, const DiskNodeReader* r) const override {
    return inner_->search_nearest(q, a, b, m, k, r);
  }
  ZolvaResult<NearestResult> search_by_method(uint8_t method, std::span<const float> q,
                                              const FilterBitset& m, uint64_t k,
                                              DistanceMetric d) const override {
    return inner_->search_by_method(method, q, m, k, d);
  }
  NearestResult search_nearest_with_metric(std::span<const float> q, const FilterBitset& m,
                                           uint64_t k, const DiskNodeReader* r,
                                           DistanceMetric d) const override {
    return inner_->search_nearest_with_metric(q, m, k, r, d);
  }
  MaterializeReport materialize_layers() override { return inner_->materialize_layers(); }
  std::optional<uint64_t> storage_offset(NodeId id) const override { return inner_->storage_offset(id); }
  std::optional<VectorRepr> vector(NodeId id) const override { return inner_->vector(id); }
  std::optional<std::pair<uint64_t, VectorRepr>> vector_and_offset(NodeId id) const override {
    return inner_->vector_and_offset(id);
  }
  std::optional<bool> is_sq8(NodeId id) const override { return inner_->is_sq8(id); }
  bool contains(NodeId id) const override { return inner_->contains(id); }
  uint64_t len() const override { return inner_->len(); }
  bool is_empty() const override { return inner_->is_empty(); }
  uint64_t node_count() const override { return inner_->node_count(); }
  void sub_node_count(uint64_t n) override { inner_->sub_node_count(n); }
  std::optional<NodeId> entry_point() const override { return inner_->entry_point(); }
  void set_entry_point(NodeId id) override { inner_->set_entry_point(id); }
  std::optional<NodeId> top_level_node() const override { return inner_->top_level_node(); }
  uint64_t max_level() const override { return inner_->max_level(); }
  std::vector<NodeId> node_ids() const override { return inner_->node_ids(); }
  std::vector<NodeId> neighbors(NodeId id, uint64_t l) const override { return inner_->neighbors(id, l); }
  std::vector<NodeId> node_layer_neighbors(NodeId id, uint64_t l) const override {
    return inner_->node_layer_neighbors(id, l);
  }
  std::vector<NodeSummary> node_summaries() const override { return inner_->node_summaries(); }
  std::optional<std::vector<std::string>> integrity_violations() const override {
    return inner_->integrity_violations();
  }
  uint64_t node_level(NodeId id) const override { return inner_->node_level(id); }
  uint64_t memory_usage() const override { return inner_->memory_usage(); }
  std::vector<uint64_t> levels_for_batch(uint64_t s, uint64_t c) const override {
    return inner_->levels_for_batch(s, c);
  }
  std::optional<uint64_t> flat_threshold() const override { return inner_->flat_threshold(); }
  void set_flat_threshold(std::optional<uint64_t> t) override { inner_->set_flat_threshold(t); }
  DistanceMetric metric() const override { return inner_->metric(); }
  uint8_t index_type() const override { return inner_->index_type(); }
  bool set_storage_offset(NodeId id, uint64_t o) override { return inner_->set_storage_offset(id, o); }
  bool remove(NodeId id) override { return inner_->remove(id); }
  uint64_t mutation_count() const override { return inner_->mutation_count(); }

 private:
  NodeId refused_;
  std::unique_ptr<HnswIndex> inner_ = fresh();
};

TEST(RebuildFromStore, EmptySegmentGivesEmptyIndexAndZeroReport) {
  VFile f = VFile::in_memory(4096);
  auto index = fresh();
  auto r = rebuild_index_parallel(*index, f, "/db/data/vector_index.bin");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->index_path, "/db/data/vector_index.bin");
  EXPECT_EQ(r->scanned_nodes + r->indexed_vectors + r->skipped_tombstones, 0u);
  EXPECT_TRUE(r->success);
  EXPECT_EQ(index->len(), 0u);
  // One record whose write offset was never advanced is not walked.
  ASSERT_TRUE(f.append_node(node_with(1, VectorRepr::f32({1}))).ok());
  f.set_write_offset(127);
  EXPECT_EQ(rebuild_index_parallel(*index, f, "")->scanned_nodes, 0u);
}

TEST(RebuildFromStore, CountsTombstonesSkipsVoidedAndUnreadableVectors) {
  VFile f = VFile::in_memory(1 << 14);
  const uint64_t live = append(f, node_with(1, VectorRepr::f32({1, 0})));
  append(f, node_with(2, VectorRepr::f32({0, 1}), kRecordDeletedFlag));
  append(f, node_with(0, VectorRepr::f32(std::vector<float>(40, 1.0f))));  // voided, 160 bytes
  const uint64_t nan_pos =
      append(f, node_with(3, VectorRepr::sq8(std::numeric_limits<float>::quiet_NaN(), {1, 2})));
  const uint64_t novec = append(f, node_with(4, VectorRepr::none()));
  EngineNode filt = node_with(5, VectorRepr::f32({1, 1}));
  filt.bitset = {0, 6};
  const uint64_t filt_pos = append(f, filt);

  auto index = fresh();
  auto r = rebuild_index_parallel(*index, f, "p");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->scanned_nodes, 5u);
  EXPECT_EQ(r->skipped_tombstones, 1u);
  EXPECT_EQ(r->indexed_vectors, 2u);  // ids 1 and 5
  EXPECT_EQ(index->len(), 4u);
  EXPECT_FALSE(index->contains(2));
  EXPECT_FALSE(index->contains(0));
  EXPECT_EQ(index->storage_offset(1), live);
  EXPECT_EQ(index->storage_offset(3), nan_pos);
  EXPECT_TRUE(index->vector(3)->is_none());
  EXPECT_EQ(index->storage_offset(4), novec);
  EXPECT_EQ(index->storage_offset(5), filt_pos);
  // The second filter word is kept only when it is not zero; here the
  // first is zero and the second is not, so both go in.
  auto summaries = index->node_summaries();
  EXPECT_EQ(summaries.size(), 4u);
}

TEST(RebuildFromStore, OnlyTheNewestRecordOfANodeCounts) {
  VFile f = VFile::in_memory(1 << 14);
  append(f, node_with(1, VectorRepr::f32({1, 0, 0})));             // replaced
  append(f, node_with(2, VectorRepr::f32({0, 1, 0})));             // replaced, then deleted
  append(f, node_with(2, VectorRepr::f32({0, 1, 1})));
  const uint64_t newest1 = append(f, node_with(1, VectorRepr::f32({2, 0, 0})));
  append(f, node_with(2, VectorRepr::f32({0, 1, 1}), kRecordDeletedFlag));
  const uint64_t kept3 = append(f, node_with(3, VectorRepr::f32({0, 0, 1})));
  append(f, node_with(0, VectorRepr::f32({9, 9, 9})));  // a voided later write

  auto index = fresh();
  auto r = rebuild_index_parallel(*index, f, "");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->scanned_nodes, 6u);
  EXPECT_EQ(r->skipped_tombstones, 1u);
  EXPECT_EQ(r->indexed_vectors, 5u);
  EXPECT_EQ(index->len(), 2u);
  EXPECT_FALSE(index->contains(2));
  auto v1 = index->vector_and_offset(1);
  ASSERT_TRUE(v1.has_value());
  EXPECT_EQ(v1->first, newest1);
  EXPECT_EQ(v1->second, VectorRepr::f32({2, 0, 0}));
  EXPECT_EQ(index->storage_offset(3), kept3);
}

// Many ids written, rewritten and deleted in a shuffled order, ids 0 and
// far-apart ones among them: the walk keeps exactly each id's last record
// when it is live, in file order.
TEST(RebuildFromStore, WalkKeepsEachIdsLastLiveRecordOverManyVersions) {
  VFile f = VFile::in_memory(1 << 22);
  std::mt19937_64 rng(17);
  std::map<NodeId, std::pair<uint64_t, bool>> last;  // id -> (offset, deleted)
  for (int i = 0; i < 3000; ++i) {
    const NodeId id = rng() % 2 ? NodeId(rng() % 700) : make_node_id(rng() % 3, rng() % 300);
    const bool deleted = rng() % 5 == 0;
    const uint64_t off = append(f, node_with(id, VectorRepr::f32({float(i), 1}),
                                             deleted ? kRecordDeletedFlag : 0));
    if (id != 0) last[id] = {off, deleted};
  }
  std::vector<std::pair<uint64_t, NodeId>> want;
  for (const auto& [id, rec] : last)
    if (!rec.second) want.emplace_back(rec.first, id);
  std::sort(want.begin(), want.end());
  const StoreScan scan = scan_store_for_rebuild(f);
  ASSERT_EQ(scan.items.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(scan.items[i].storage_offset, want[i].first) << i;
    EXPECT_EQ(scan.items[i].id, want[i].second) << i;
  }
}

TEST(RebuildFromStore, ZeroNormUnderCosineIsIndexedWithoutVector) {
  VFile f = VFile::in_memory(1 << 14);
  append(f, node_with(1, VectorRepr::f32({1, 0})));
  const uint64_t zero = append(f, node_with(2, VectorRepr::f32({0, 0})));
  append(f, node_with(3, VectorRepr::sq8(1.0f, {0, 0})));
  log::CaptureSink sink(log::Level::kWarn);
  auto index = fresh(DistanceMetric::kCosine);
  auto r = rebuild_index_parallel(*index, f, "");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(index->len(), 3u);
  EXPECT_EQ(index->storage_offset(2), zero);
  EXPECT_TRUE(index->vector(2)->is_none());
  EXPECT_TRUE(index->vector(3)->is_none());
  int warned = 0;
  for (const auto& e : sink.events())
    for (const auto& [k, v] : e.fields) warned += k == "node_id" && (v == "2" || v == "3");
  EXPECT_EQ(warned, 2);
  // Euclidean indexes keep the zero vector.
  auto euclid = fresh(DistanceMetric::kEuclidean);
  ASSERT_TRUE(rebuild_index_parallel(*euclid, f, "").ok());
  EXPECT_EQ(euclid->vector(2), VectorRepr::f32({0, 0}));
}

TEST(RebuildFromStore, FirstAddErrorIsReturnedAndEarlierAddsStay) {
  VFile f = VFile::in_memory(1 << 14);
  for (NodeId id = 1; id <= 5; ++id) append(f, node_with(id, VectorRepr::f32({float(id), 1})));
  RefusingIndex index(3);
  // One worker takes the items in list order, so which adds ran before the
  // refusal is known; with more workers any of them may come first.
  tbb::task_arena one_worker(1);
  ZolvaResult<RebuildReport> r =
      one_worker.execute([&] { return rebuild_index_parallel(index, f, ""); });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Generic error: refused 3");
  EXPECT_TRUE(index.contains(1) && index.contains(2));
  EXPECT_FALSE(index.contains(3) || index.contains(4) || index.contains(5));
}

TEST(RebuildFromStore, ConcurrentAddsPlaceEveryNodeWithItsOwnVectorAndOffset) {
  constexpr size_t kNodes = 3000, kDim = 16;
  const auto data = testing::clustered_vectors(kNodes, kDim, 12, 0.1f, 7, 8);
  VFile f = VFile::in_memory(1 << 16);
  std::vector<uint64_t> pos(kNodes);
  for (size_t i = 0; i < kNodes; ++i) {
    std::vector<float> v(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
    pos[i] = append(f, node_with(1000 + i, VectorRepr::f32(std::move(v))));
  }
  auto index = fresh();
  auto r = rebuild_index_parallel(*index, f, "");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->indexed_vectors, kNodes);
  ASSERT_EQ(index->len(), kNodes);
  for (size_t i = 0; i < kNodes; ++i) {
    auto vo = index->vector_and_offset(1000 + i);
    ASSERT_TRUE(vo.has_value()) << i;
    EXPECT_EQ(vo->first, pos[i]);
    std::vector<float> want(data.begin() + i * kDim, data.begin() + (i + 1) * kDim);
    EXPECT_EQ(vo->second, VectorRepr::f32(want)) << i;
  }
  // Concurrent adds leave no islands: every node is reachable from the entry
  // point over the layer-0 lists a search walks.
  std::unordered_set<NodeId, NodeIdHash> seen;
  std::vector<NodeId> stack;
  ASSERT_TRUE(index->entry_point().has_value());
  seen.insert(*index->entry_point());
  stack.push_back(*index->entry_point());
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    auto list = index->node_layer_neighbors(id, 0);
    if (list.empty()) list = index->neighbors(id, 0);
    for (NodeId n : list)
      if (seen.insert(n).second) stack.push_back(n);
  }
  EXPECT_EQ(seen.size(), kNodes);
}

}  // namespace
}  // namespace zv
