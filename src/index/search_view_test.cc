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

SearchViews::Source source(const std::vector<float>& v, const std::vector<uint32_t>& list,
                           bool has_record = true, bool deleted = false) {
  SearchViews::Source s;
  s.has_record = has_record;
  s.deleted = deleted;
  s.values = v.data();
  s.dim = v.size();
  s.inv_norm = 0.5f;
  s.sq_norm = 4.0f;
  s.list = list.data();
  s.list_size = static_cast<uint32_t>(list.size());
  return s;
}

// A view serves values only while the record holds exactly them, and a list
// only while it fits; every other state sends the search to the record.
TEST(SearchViewsTest, MirrorsRecordsAndRefusesWhatItCannotHold) {
  SearchViews views(4);
  const std::vector<float> a{1, 2, 3}, b{1, 2, 4}, other_len{1, 2};
  const std::vector<uint32_t> short_list{7, 9}, long_list{1, 2, 3, 4, 5};
  const float* values;
  float inv, sq;
  std::vector<uint32_t> out;

  EXPECT_EQ(views.header(0), nullptr);
  views.refresh(0, source(a, short_list));
  ASSERT_EQ(views.dim(), 3u);
  ASSERT_TRUE(views.current_values(0, values, inv, sq));
  EXPECT_EQ(std::vector<float>(values, values + 3), a);
  EXPECT_EQ(inv, 0.5f);
  EXPECT_EQ(sq, 4.0f);
  ASSERT_TRUE(views.read_list(views.header(0), out));
  EXPECT_EQ(out, short_list);

  // Slots far apart live in different chunks; each starts empty.
  views.refresh(5000, source(other_len, short_list));
  EXPECT_FALSE(views.current_values(5000, values, inv, sq));
  EXPECT_TRUE(views.read_list(views.header(5000), out));
  EXPECT_EQ(views.header(5001)->state.load(), 0u);

  views.refresh(0, source(a, long_list));  // too long to hold
  EXPECT_FALSE(views.read_list(views.header(0), out));
  views.refresh(0, source(a, {}));  // empty: the layer map decides
  EXPECT_FALSE(views.read_list(views.header(0), out));

  views.refresh(0, source(a, short_list, true, true));  // deleted: kept for pruning only
  EXPECT_TRUE(views.current_values(0, values, inv, sq));
  EXPECT_FALSE(views.header(0)->state.load() & SearchViews::kLive);
  views.refresh(0, source(a, short_list, false));  // removed
  EXPECT_FALSE(views.current_values(0, values, inv, sq));
  EXPECT_FALSE(views.read_list(views.header(0), out));

  views.refresh(0, source(a, short_list));  // back with the same values
  EXPECT_TRUE(views.current_values(0, values, inv, sq));
  views.refresh(0, source(b, short_list));  // new values: never served again
  EXPECT_FALSE(views.current_values(0, values, inv, sq));
  views.refresh(0, source(a, short_list));
  EXPECT_FALSE(views.current_values(0, values, inv, sq));
  EXPECT_TRUE(views.read_list(views.header(0), out));
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
