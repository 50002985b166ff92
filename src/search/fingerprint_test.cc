#include "src/search/fingerprint.h"

#include <gtest/gtest.h>

#include <functional>

namespace zv::search {
namespace {

SearchRequest base() {
  SearchRequest r;
  r.ns = "docs";
  r.text_query = "hello world";
  r.query_vector = {0.5f, -1.0f, 2.0f};
  r.query_sparse = SparseVector{{1, 0.25f}, {9, 1.5f}};
  r.filters.emplace("tag", FieldValue::integer(1));
  r.top_k = 5;
  r.min_confidence = 0.5f;
  r.as_of_ms = 100;
  r.valid_window = ValidWindow{1, 2};
  r.search_profile = SearchProfileConfig{SearchMode::kHybrid, 60, std::nullopt};
  r.range = ScoreRange{0.1f, std::nullopt};
  return r;
}

TEST(PlanFingerprint, WhatChangesItAndWhatDoesNot) {
  const uint64_t fp = plan_fingerprint(base());
  EXPECT_EQ(fp, plan_fingerprint(base()));
  struct Case {
    const char* name;
    std::function<void(SearchRequest&)> edit;
    bool changes;
  } cases[] = {
      {"top_k", [](auto& r) { r.top_k = 50; }, false},
      {"mmr", [](auto& r) { r.mmr = MmrOptions{3, 0.2f}; }, false},
      {"group_by", [](auto& r) { r.group_by = GroupByOptions{"g", 2}; }, false},
      {"cursor", [](auto& r) { r.cursor = "{}"; }, false},
      {"namespace", [](auto& r) { r.ns = "docs2"; }, true},
      {"text", [](auto& r) { r.text_query = "hello worlds"; }, true},
      {"text blanks", [](auto& r) { r.text_query = " hello world"; }, true},
      {"text absent", [](auto& r) { r.text_query.reset(); }, true},
      {"text empty", [](auto& r) { r.text_query = ""; }, true},
      {"filter Int against Float", [](auto& r) { r.filters["tag"] = FieldValue::floating(1.0); }, true},
      {"filter added", [](auto& r) { r.filters.emplace("z", FieldValue::null()); }, true},
      {"metric", [](auto& r) { r.distance_metric = DistanceMetric::kEuclidean; }, true},
      {"explain", [](auto& r) { r.explain = true; }, true},
      {"exclude_superseded", [](auto& r) { r.exclude_superseded = true; }, true},
      {"include_quarantined", [](auto& r) { r.include_quarantined = true; }, true},
      {"min_confidence", [](auto& r) { r.min_confidence = 0.6f; }, true},
      {"min_confidence absent", [](auto& r) { r.min_confidence.reset(); }, true},
      {"as_of_ms", [](auto& r) { r.as_of_ms = 101; }, true},
      {"valid_window", [](auto& r) { r.valid_window = ValidWindow{1, 3}; }, true},
      {"valid_window absent", [](auto& r) { r.valid_window.reset(); }, true},
      {"profile mode", [](auto& r) { r.search_profile->mode = SearchMode::kKeyword; }, true},
      {"profile rrf_k", [](auto& r) { r.search_profile->rrf_k = 61; }, true},
      {"profile candidate_k", [](auto& r) { r.search_profile->candidate_k = 60; }, true},
      {"range min", [](auto& r) { r.range->min_score = 0.2f; }, true},
      {"range max added", [](auto& r) { r.range->max_score = 0.9f; }, true},
      {"range absent", [](auto& r) { r.range.reset(); }, true},
      {"vector element", [](auto& r) { r.query_vector[2] = 2.5f; }, true},
      {"vector signed zero", [](auto& r) { r.query_vector.push_back(-0.0f); }, true},
      {"sparse weight", [](auto& r) { (*r.query_sparse)[9] = 1.25f; }, true},
      {"sparse dimension", [](auto& r) { r.query_sparse = SparseVector{{2, 0.25f}, {9, 1.5f}}; }, true},
  };
  for (const Case& c : cases) {
    SearchRequest r = base();
    c.edit(r);
    EXPECT_EQ(plan_fingerprint(r) != fp, c.changes) << c.name;
  }
}

TEST(PlanFingerprint, AbsentAndEmptySparseQueriesAgree) {
  SearchRequest a = base(), b = base();
  a.query_sparse.reset();
  b.query_sparse = SparseVector{};
  EXPECT_EQ(plan_fingerprint(a), plan_fingerprint(b));
}

// Text ends with 0xFF, so moving bytes between neighbouring texts is seen.
TEST(PlanFingerprint, TextBoundariesAreMarked) {
  SearchRequest a = base(), b = base();
  a.filters.clear();
  b.filters.clear();
  a.filters.emplace("ab", FieldValue::string("c"));
  b.filters.emplace("a", FieldValue::string("bc"));
  EXPECT_NE(plan_fingerprint(a), plan_fingerprint(b));
}

}  // namespace
}  // namespace zv::search
