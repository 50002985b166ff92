#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "src/index/hnsw_index.h"
#include "src/index/search_view.h"
#include "src/index/testing/index_fixture.h"

namespace zv {
namespace {

using testing::add_at;
using testing::euclidean_config;
using testing::make_index;

SearchViews::Source source(const std::vector<float>& v, bool has_record = true,
                           bool deleted = false) {
  SearchViews::Source s;
  s.has_record = has_record;
  s.deleted = deleted;
  s.values = v.data();
  s.dim = v.size();
  s.inv_norm = 0.5f;
  s.sq_norm = 4.0f;
  return s;
}

void set_list(SearchViews& views, uint32_t s, const std::vector<uint32_t>& list) {
  views.refresh_list(s, list.data(), static_cast<uint32_t>(list.size()));
}

// A view serves values only while the record holds exactly them, and a list
// only while it fits; every other state sends the search to the record or
// the layer map.
TEST(SearchViewsTest, MirrorsRecordsAndRefusesWhatItCannotHold) {
  SearchViews views(4);
  const std::vector<float> a{1, 2, 3}, b{1, 2, 4}, other_len{1, 2};
  const std::vector<uint32_t> short_list{7, 9}, long_list{1, 2, 3, 4, 5};
  const float* values;
  float inv, sq;
  std::vector<uint32_t> out;

  EXPECT_EQ(views.header(0), nullptr);
  set_list(views, 0, short_list);  // before any values: nothing to hold it
  EXPECT_EQ(views.header(0), nullptr);
  views.refresh(0, source(a));
  set_list(views, 0, short_list);
  ASSERT_EQ(views.dim(), 3u);
  ASSERT_TRUE(views.current_values(0, values, inv, sq));
  EXPECT_EQ(std::vector<float>(values, values + 3), a);
  EXPECT_EQ(inv, 0.5f);
  EXPECT_EQ(sq, 4.0f);
  ASSERT_TRUE(views.read_list(views.header(0), out));
  EXPECT_EQ(out, short_list);
  auto region = views.borrow_values(0);
  ASSERT_TRUE(region);
  EXPECT_EQ(region->data(), reinterpret_cast<const unsigned char*>(values));
  EXPECT_EQ(region->byte_len(), 3 * sizeof(float));

  // Slots far apart live in different chunks; each starts empty.
  views.refresh(5000, source(other_len));
  set_list(views, 5000, short_list);
  EXPECT_FALSE(views.current_values(5000, values, inv, sq));
  EXPECT_FALSE(views.borrow_values(5000));
  EXPECT_TRUE(views.read_list(views.header(5000), out));
  EXPECT_EQ(views.header(5001)->state.load(), 0u);

  set_list(views, 0, long_list);  // too long to hold
  EXPECT_FALSE(views.read_list(views.header(0), out));
  set_list(views, 0, {});
  ASSERT_TRUE(views.read_list(views.header(0), out));
  EXPECT_TRUE(out.empty());
  set_list(views, 0, short_list);

  views.refresh(0, source(a, true, true));  // deleted: kept for pruning only
  EXPECT_TRUE(views.current_values(0, values, inv, sq));
  EXPECT_FALSE(views.header(0)->state.load() & SearchViews::kLive);
  views.refresh(0, source(a, false));  // removed: its lists stay in the layer map
  EXPECT_FALSE(views.current_values(0, values, inv, sq));
  EXPECT_TRUE(views.read_list(views.header(0), out));

  views.refresh(0, source(a));  // back with the same values
  EXPECT_TRUE(views.current_values(0, values, inv, sq));
  views.refresh(0, source(b));  // new values: never served again
  EXPECT_FALSE(views.current_values(0, values, inv, sq));
  EXPECT_FALSE(views.borrow_values(0));
  views.refresh(0, source(a));
  EXPECT_FALSE(views.current_values(0, values, inv, sq));
  EXPECT_TRUE(views.read_list(views.header(0), out));
}

// Values a record gave to the view stay readable through any copy of the
// vector handed out, after the index that held them is gone.
TEST(SearchViewsTest, BorrowedValuesOutliveTheIndex) {
  std::optional<VectorRepr> kept;
  {
    auto index = make_index(euclidean_config());
    add_at(*index, 1, {3, 4});
    add_at(*index, 2, {5, 6});
    kept = index->vector(2);
    EXPECT_EQ(kept, VectorRepr::f32({5, 6})) << "given back in the form it was given";
    auto pair = index->vector_and_offset(1);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->second, VectorRepr::f32({3, 4}));
  }
  EXPECT_EQ(kept, VectorRepr::f32({5, 6}));
}

// The graph search answers from the current records: a node whose vector
// changed is found by its new vector with the new score, and a removed node
// is never returned, under both metrics.
TEST(SearchViewsTest, SearchFollowsChangedAndRemovedNodes) {
  for (DistanceMetric metric : {DistanceMetric::kEuclidean, DistanceMetric::kCosine}) {
    HnswConfig cfg = euclidean_config();
    cfg.metric = metric;
    auto index = make_index(cfg);
    for (NodeId id = 1; id <= 40; ++id)
      add_at(*index, id, {std::cos(0.1f * id), std::sin(0.1f * id), 1.0f});
    const std::vector<float> moved{-5.0f, 1.0f, 0.25f};
    ASSERT_TRUE(index->add(7, FilterBitset(), VectorRepr::f32(moved), 7).ok());
    auto hits = index->search_nearest(moved, std::nullopt, std::nullopt,
                                      FilterBitset::unfiltered(), 3, nullptr);
    ASSERT_FALSE(hits.empty()) << metric_name(metric);
    EXPECT_EQ(hits[0].id, 7u) << metric_name(metric);
    EXPECT_NEAR(hits[0].score, metric == DistanceMetric::kCosine ? 1.0f : 0.0f, 1e-5f);

    const std::vector<float> q{std::cos(2.0f), std::sin(2.0f), 1.0f};  // node 20
    ASSERT_TRUE(index->remove(20));
    hits = index->search_nearest(q, std::nullopt, std::nullopt, FilterBitset::unfiltered(), 10,
                                 nullptr);
    ASSERT_EQ(hits.size(), 10u) << metric_name(metric);
    for (const auto& h : hits) EXPECT_NE(h.id, 20u) << metric_name(metric);
    EXPECT_EQ(hits[0].id, 19u) << metric_name(metric);
  }
}

}  // namespace
}  // namespace zv
