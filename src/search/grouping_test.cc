#include "src/search/grouping.h"

#include <gtest/gtest.h>

#include "src/search/mmr.h"
#include "src/search/testing/hits.h"

namespace zv::search {
namespace {

using search_testing::hit;
using search_testing::keys_of;

SearchHit tagged(std::string key, float score, std::optional<FieldValue> v, const char* field = "g") {
  SearchHit h = hit(std::move(key), score);
  if (v) h.record.metadata.emplace(field, *v);
  return h;
}

TEST(Grouping, VariantsAreDistinctGroups) {
  std::vector<SearchHit> hits = {tagged("i", 3, FieldValue::integer(1)), tagged("f", 2, FieldValue::floating(1.0)),
                                 tagged("s", 1, FieldValue::string("1")), tagged("i2", 0, FieldValue::integer(1))};
  auto out = group_hits(std::move(hits), 10, GroupByOptions{"g", 1});
  EXPECT_EQ(keys_of(out), (std::vector<std::string>{"i", "f", "s"}));
}

TEST(Grouping, MissingFieldIsOneEmptyGroup) {
  std::vector<SearchHit> hits;
  for (int i = 0; i < 6; ++i) hits.push_back(tagged("k" + std::to_string(i), 1, std::nullopt));
  EXPECT_EQ(group_hits(hits, 10, GroupByOptions{"g", 2}).size(), 2u);
  // A field name with blanks is used as given and matches nothing.
  std::vector<SearchHit> named = {tagged("a", 1, FieldValue::string("x")), tagged("b", 1, FieldValue::string("y"))};
  EXPECT_EQ(group_hits(named, 10, GroupByOptions{" g ", 1}).size(), 1u);
  EXPECT_EQ(group_hits(named, 10, GroupByOptions{"g", 1}).size(), 2u);
}

TEST(Grouping, FirstOfEachValueAndStopAtPageSize) {
  std::vector<SearchHit> hits = {tagged("a1", 5, FieldValue::string("a")), tagged("b1", 4, FieldValue::string("b")),
                                 tagged("a2", 3, FieldValue::string("a")), tagged("c1", 2, FieldValue::string("c")),
                                 tagged("c2", 1, FieldValue::string("c"))};
  EXPECT_EQ(keys_of(group_hits(hits, 10, GroupByOptions{"g", 1})), (std::vector<std::string>{"a1", "b1", "c1"}));
  EXPECT_EQ(keys_of(group_hits(hits, 3, GroupByOptions{"g", 2})), (std::vector<std::string>{"a1", "b1", "a2"}));
  EXPECT_TRUE(group_hits(hits, 0, GroupByOptions{"g", 2}).empty());
}

TEST(Grouping, AfterMmr) {
  // MMR first puts the diverse hit second; grouping then keeps one per value.
  auto v = [](float x, float y) { return std::optional<std::vector<float>>(std::vector<float>{x, y}); };
  std::vector<SearchHit> hits = {tagged("a1", 1.0f, FieldValue::string("a")), tagged("a2", 0.9f, FieldValue::string("a")),
                                 tagged("b1", 0.5f, FieldValue::string("b"))};
  hits[0].record.vector = v(1, 0);
  hits[1].record.vector = v(1, 0);
  hits[2].record.vector = v(0, 1);
  auto picked = mmr_rerank(std::move(hits), 3, MmrOptions{std::nullopt, 0.5f});
  EXPECT_EQ(keys_of(picked), (std::vector<std::string>{"a1", "b1", "a2"}));
  EXPECT_EQ(keys_of(group_hits(std::move(picked), 3, GroupByOptions{"g", 1})),
            (std::vector<std::string>{"a1", "b1"}));
}

}  // namespace
}  // namespace zv::search
