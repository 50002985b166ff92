#include "src/search/driver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "src/runtime/operational_counters.h"
#include "src/search/cursor.h"
#include "src/search/fingerprint.h"
#include "src/search/multi_namespace.h"
#include "src/search/testing/fake_stages.h"
#include "src/search/testing/hits.h"
#include "src/search/testing/record_fixture.h"

namespace zv::search {
namespace {

using search_testing::FakeStages;
using search_testing::hit;
using search_testing::keys_of;
using search_testing::StageCall;

SearchContext no_engine() {
  return SearchContext{[]() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
                         return make_unexpected(ZolvaError::not_initialized());
                       },
                       std::nullopt};
}

SearchRequest request(bool text, bool dense, bool sparse, uint64_t top_k = 5) {
  SearchRequest r;
  r.ns = "ns";
  r.top_k = top_k;
  if (text) r.text_query = "  words  ";
  if (dense) r.query_vector = {1.0f, 0.0f};
  if (sparse) r.query_sparse = SparseVector{{1, 1.0f}};
  return r;
}

std::vector<SearchHit> numbered(std::string_view prefix, int n, float top = 100.0f) {
  std::vector<SearchHit> out;
  for (int i = 0; i < n; ++i) {
    out.push_back(hit(std::string(prefix) + std::to_string(1000 + i), top - float(i),
                      NodeId(1000 + i)));
  }
  return out;
}

struct CounterSnapshot {
  uint64_t hybrid, text, vector, sparse, fused;
  static CounterSnapshot now() {
    auto& c = OperationalCounters::global();
    return {c.planner_hybrid_queries.read(), c.planner_text_only_queries.read(),
            c.planner_vector_only_queries.read(), c.planner_sparse_only_queries.read(),
            c.hybrid_candidates_fused.read()};
  }
};

TEST(SearchDriver, RouteTable) {
  struct Row {
    SearchMode mode;
    bool t, d, s;
    std::vector<StageCall> calls;
    char counter;  // 'h', 't', 'v', 's' or 0
  };
  auto k = [](uint64_t n) { return StageCall{'k', "ns", n, 0}; };
  auto d = [](uint64_t n, uint8_t m) { return StageCall{'d', "ns", n, m}; };
  auto s = [](uint64_t n) { return StageCall{'s', "ns", n, 0}; };
  using M = SearchMode;
  const std::vector<Row> rows = {
      {M::kHybrid, 1, 1, 0, {k(32), d(32, 2)}, 'h'},
      {M::kHybrid, 1, 1, 1, {k(32), d(32, 2), s(32)}, 'h'},
      {M::kHybrid, 1, 0, 1, {k(32), s(32)}, 'h'},
      {M::kHybrid, 1, 0, 0, {k(5)}, 't'},
      {M::kHybrid, 0, 1, 1, {d(32, 5), s(32)}, 'h'},
      {M::kHybrid, 0, 1, 0, {d(5, 2)}, 'v'},
      {M::kHybrid, 0, 0, 1, {s(5)}, 's'},
      {M::kHybrid, 0, 0, 0, {}, 0},
      {M::kKeyword, 1, 1, 1, {k(5)}, 't'},
      {M::kKeyword, 1, 1, 0, {k(5)}, 't'},
      {M::kKeyword, 0, 1, 1, {}, 0},
      {M::kKeyword, 0, 1, 0, {}, 0},
      {M::kVector, 1, 1, 1, {d(32, 5), s(32)}, 'h'},
      {M::kVector, 1, 1, 0, {d(5, 2)}, 'v'},
      {M::kVector, 1, 0, 1, {s(5)}, 's'},
      {M::kVector, 1, 0, 0, {}, 0},
  };
  for (const Row& row : rows) {
    FakeStages stages;
    SearchRequest req = request(row.t, row.d, row.s);
    req.search_profile = SearchProfileConfig{row.mode, std::nullopt, std::nullopt};
    const CounterSnapshot before = CounterSnapshot::now();
    auto r = search_impl(no_engine(), req, 2, stages);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_TRUE(r->hits.empty());
    EXPECT_EQ(stages.calls, row.calls) << search_mode_name(row.mode) << row.t << row.d << row.s;
    const CounterSnapshot after = CounterSnapshot::now();
    EXPECT_EQ(after.hybrid - before.hybrid, row.counter == 'h' ? 1u : 0u);
    EXPECT_EQ(after.text - before.text, row.counter == 't' ? 1u : 0u);
    EXPECT_EQ(after.vector - before.vector, row.counter == 'v' ? 1u : 0u);
    EXPECT_EQ(after.sparse - before.sparse, row.counter == 's' ? 1u : 0u);
    // With explanations the dense-plus-sparse route keeps the method; no
    // counter moves.
    if (row.d && row.s && !row.t && row.mode != M::kKeyword) {
      FakeStages explained;
      req.explain = true;
      search_testing::RecordFixture fixture;
      SearchContext ctx{[&]() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
                          return fixture.shared_engine();
                        },
                        std::nullopt};
      auto e = search_impl(ctx, req, 2, explained);
      ASSERT_TRUE(e.ok()) << e.error().message();
      EXPECT_EQ(explained.calls.at(0).method, 2u);
      const CounterSnapshot later = CounterSnapshot::now();
      EXPECT_EQ(later.hybrid, after.hybrid);
    }
  }
}

TEST(SearchDriver, CandidateCounts) {
  for (auto [top_k, asked] : std::vector<std::pair<uint64_t, uint64_t>>{{5, 32}, {100, 256}, {300, 300}}) {
    FakeStages stages;
    ASSERT_TRUE(search_impl(no_engine(), request(true, true, false, top_k), 0, stages).ok());
    EXPECT_EQ(stages.calls.at(0).count, asked);
    EXPECT_EQ(stages.calls.at(1).count, asked);
  }
  EXPECT_EQ(widened_count(uint64_t{1} << 62, std::nullopt), uint64_t{1} << 62);
  EXPECT_EQ(widened_count(UINT64_MAX, std::nullopt), UINT64_MAX);
  {
    FakeStages stages;
    SearchRequest req = request(true, true, false, 5);
    req.search_profile = SearchProfileConfig{SearchMode::kHybrid, std::nullopt, 10};
    ASSERT_TRUE(search_impl(no_engine(), req, 0, stages).ok());
    EXPECT_EQ(stages.calls.at(0).count, 10u);
  }
  {
    FakeStages stages;
    SearchRequest req = request(true, false, false, 10);
    req.mmr = MmrOptions{};
    ASSERT_TRUE(search_impl(no_engine(), req, 0, stages).ok());
    EXPECT_EQ(stages.calls.at(0).count, 50u);
  }
  {
    FakeStages stages;
    SearchRequest req = request(true, false, false, 5);
    req.include_quarantined = true;
    CursorToken t{1, plan_fingerprint(req), 20, "k", "7"};
    req.cursor = write_cursor(t);
    ASSERT_TRUE(search_impl(no_engine(), req, 0, stages).ok());
    EXPECT_EQ(stages.calls.at(0).count, 25u);
  }
}

TEST(SearchDriver, FusedListCutAndCounters) {
  FakeStages stages;
  stages.lists = [](char stage, std::string_view) {
    return numbered(stage == 'k' ? "k" : "d", 40);
  };
  SearchRequest req = request(true, true, false, 5);
  req.include_quarantined = true;
  auto& counters = OperationalCounters::global();
  counters.hybrid_query_ms.max(1u << 30);
  const CounterSnapshot before = CounterSnapshot::now();
  auto r = search_impl(no_engine(), req, 0, stages);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->hits.size(), 5u);
  // 32 of each list were asked for and fused; the fused 64 were cut to 5.
  EXPECT_EQ(CounterSnapshot::now().fused - before.fused, 64u);
  EXPECT_EQ(counters.hybrid_query_ms.read(), 1u << 30);
  // The fused score of the first of each list: one share of 1 / 61.
  EXPECT_EQ(r->hits[0].score, 1.0f / 61.0f);
}

TEST(SearchDriver, EmptyPagesAndTheZeroNormRefusal) {
  FakeStages stages;
  SearchRequest blank = request(false, false, false);
  blank.text_query = " \t\u00a0 ";
  auto r = search_impl(no_engine(), blank, 0, stages);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->hits.empty());
  EXPECT_TRUE(stages.calls.empty());

  const std::string refusal =
      "Invalid input: zero-norm cosine query vector is undefined; use a non-zero vector or the "
      "euclidean distance metric (AUDREP-55, ERR-028)";
  SearchRequest zero = request(true, false, false);
  zero.query_vector = {0.0f, 0.0f};
  zero.search_profile = SearchProfileConfig{SearchMode::kKeyword, std::nullopt, std::nullopt};
  auto refused = search_impl(no_engine(), zero, 0, stages);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), refusal);
  EXPECT_TRUE(stages.calls.empty());
  zero.distance_metric = DistanceMetric::kEuclidean;
  EXPECT_TRUE(search_impl(no_engine(), zero, 0, stages).ok());
  SearchRequest nan = request(false, true, false);
  nan.query_vector = {std::numeric_limits<float>::quiet_NaN(), 0.0f};
  EXPECT_TRUE(search_impl(no_engine(), nan, 0, stages).ok());
}

SearchHit lifecycle_hit(std::string key, float score) {
  SearchHit h = hit(std::move(key), score);
  h.record.valid_at_ms = 0;
  return h;
}

TEST(SearchDriver, Filters) {
  set_now_ms_for_testing(1000);
  struct Case {
    const char* name;
    std::function<void(SearchHit&)> record;
    std::function<void(SearchRequest&)> req;
    bool kept;
    std::optional<float> threshold = std::nullopt;
  };
  auto none = [](SearchRequest&) {};
  auto validity = [](SearchHit& h) {
    h.record.valid_at_ms = 100;
    h.record.invalid_at_ms = 200;
  };
  auto as_of = [](uint64_t t) { return [t](SearchRequest& r) { r.as_of_ms = t; }; };
  auto window = [](uint64_t a, uint64_t b) {
    return [a, b](SearchRequest& r) { r.valid_window = ValidWindow{a, b}; };
  };
  auto quarantined = [](SearchHit& h) { h.record.quarantined_at_ms = 5; };
  const std::vector<Case> cases = {
      {"quarantined dropped", quarantined, none, false},
      {"quarantined kept", quarantined, [](SearchRequest& r) { r.include_quarantined = true; }, true},
      {"superseded", [](SearchHit& h) { h.record.superseded_by = "x"; },
       [](SearchRequest& r) { r.exclude_superseded = true; }, false},
      {"invalid at now", [](SearchHit& h) { h.record.invalid_at_ms = 1000; },
       [](SearchRequest& r) { r.exclude_superseded = true; }, false},
      {"invalid after now", [](SearchHit& h) { h.record.invalid_at_ms = 1001; },
       [](SearchRequest& r) { r.exclude_superseded = true; }, true},
      {"as of 100", validity, as_of(100), true},
      {"as of 199", validity, as_of(199), true},
      {"as of 200", validity, as_of(200), false},
      {"window 200-300", validity, window(200, 300), false},
      {"window 50-100", validity, window(50, 100), false},
      {"window 50-101", validity, window(50, 101), true},
      {"nan confidence", [](SearchHit& h) { h.record.confidence = NAN; },
       [](SearchRequest& r) { r.min_confidence = 0.5f; }, false},
      {"0.7 under threshold 0.8", [](SearchHit& h) { h.record.confidence = 0.7f; },
       [](SearchRequest& r) { r.min_confidence = 0.5f; }, false, 0.8f},
      {"0.8 at threshold 0.8", [](SearchHit& h) { h.record.confidence = 0.8f; },
       [](SearchRequest& r) { r.min_confidence = 0.5f; }, true, 0.8f},
      {"nan score min", [](SearchHit& h) { h.score = NAN; },
       [](SearchRequest& r) { r.range = ScoreRange{0.0f, std::nullopt}; }, false},
      {"nan score max", [](SearchHit& h) { h.score = NAN; },
       [](SearchRequest& r) { r.range = ScoreRange{std::nullopt, 10.0f}; }, false},
      {"nan score no bound", [](SearchHit& h) { h.score = NAN; },
       [](SearchRequest& r) { r.range = ScoreRange{}; }, true},
  };
  for (const Case& c : cases) {
    FakeStages stages;
    stages.lists = [&](char, std::string_view) {
      SearchHit h = lifecycle_hit("a", 1.0f);
      c.record(h);
      return std::vector<SearchHit>{h, lifecycle_hit("b", 0.5f)};
    };
    SearchRequest req = request(true, false, false);
    c.req(req);
    SearchContext ctx = no_engine();
    ctx.confidence_threshold = c.threshold;
    auto r = search_impl(ctx, req, 0, stages);
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().message();
    const std::vector<std::string> want =
        c.kept ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{"b"};
    EXPECT_EQ(keys_of(r->hits), want) << c.name;
  }
  set_now_ms_for_testing(0);
}

TEST(SearchDriver, Retries) {
  auto quarantined_list = [](int n) {
    return [n](char, std::string_view) {
      auto hits = numbered("q", n);
      for (SearchHit& h : hits) h.record.quarantined_at_ms = 1;
      return hits;
    };
  };
  auto counts = [](const FakeStages& s) {
    std::vector<uint64_t> out;
    for (const StageCall& c : s.calls) out.push_back(c.count);
    return out;
  };
  {
    FakeStages stages;
    stages.lists = quarantined_list(100);
    ASSERT_TRUE(search_impl(no_engine(), request(true, false, false, 3), 0, stages).ok());
    EXPECT_EQ(counts(stages), (std::vector<uint64_t>{3, 6, 12, 24, 48, 96, 192}));
  }
  {
    FakeStages stages;
    stages.lists = quarantined_list(20000);
    ASSERT_TRUE(search_impl(no_engine(), request(true, false, false, 3), 0, stages).ok());
    EXPECT_EQ(counts(stages).back(), 10000u);
    EXPECT_EQ(counts(stages).size(), 13u);  // 3 x 2^0 .. 3 x 2^11, then 10000
  }
  // A short page under exclude_superseded alone or a min-score range, with
  // include_quarantined set, is returned as it is.
  auto superseded_list = [](char, std::string_view) {
    auto hits = numbered("s", 50);
    for (SearchHit& h : hits) h.record.superseded_by = "x";
    return hits;
  };
  for (int variant = 0; variant < 3; ++variant) {
    FakeStages stages;
    stages.lists = superseded_list;
    SearchRequest req = request(true, false, false, 3);
    req.include_quarantined = variant != 2;
    if (variant == 0) {
      req.exclude_superseded = true;
    } else {
      req.range = ScoreRange{1000.0f, std::nullopt};
    }
    ASSERT_TRUE(search_impl(no_engine(), req, 0, stages).ok());
    // 3, 6, ..., 96: the stage then delivers fewer than asked.
    EXPECT_EQ(stages.calls.size(), variant == 2 ? 6u : 1u) << variant;
  }
  // A grouped short page is searched again.
  FakeStages grouped;
  grouped.lists = [](char, std::string_view) { return numbered("g", 30); };
  SearchRequest req = request(true, false, false, 3);
  req.include_quarantined = true;
  req.group_by = GroupByOptions{"missing", 1};
  ASSERT_TRUE(search_impl(no_engine(), req, 0, grouped).ok());
  EXPECT_GT(grouped.calls.size(), 1u);
}

TEST(SearchDriver, ErrorsEndTheSearch) {
  FakeStages stages;
  SearchRequest bad_ns = request(true, false, false);
  bad_ns.ns = "";
  EXPECT_FALSE(search_impl(no_engine(), bad_ns, 0, stages).ok());
  SearchRequest bad_key = request(true, false, false);
  bad_key.filters.emplace("__zolva_key", FieldValue::string("x"));
  EXPECT_FALSE(search_impl(no_engine(), bad_key, 0, stages).ok());
  EXPECT_TRUE(stages.calls.empty());
  stages.fail_in = ZolvaError::not_initialized();
  stages.fail_stage = 'd';
  auto r = search_impl(no_engine(), request(true, true, false), 0, stages);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Engine not initialized");
  // Explanations take the engine: a closed handle fails the search.
  FakeStages fine;
  fine.lists = [](char, std::string_view) { return numbered("k", 3); };
  SearchRequest explain = request(true, false, false);
  explain.explain = true;
  EXPECT_FALSE(search_impl(no_engine(), explain, 0, fine).ok());
}

TEST(SearchMulti, MergesByScore) {
  FakeStages stages;
  stages.lists = [](char, std::string_view ns) {
    if (ns == "a") return std::vector<SearchHit>{hit("a", "a1", 1, 0.9f), hit("a", "a2", 2, 0.5f)};
    return std::vector<SearchHit>{hit(std::string(ns), "b1", 3, 0.9f), hit(std::string(ns), "b2", 4, 0.7f),
                                  hit(std::string(ns), "b3", 5, 0.1f)};
  };
  SearchRequest req = request(true, false, false, 4);
  req.include_quarantined = true;
  auto r = search_multi(no_engine(), {"a", "", "b"}, req, stages);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(keys_of(*r), (std::vector<std::string>{"a1", "b1", "b2", "a2"}));
  auto twice = search_multi(no_engine(), {"b", "b"}, req, stages);
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(keys_of(*twice), (std::vector<std::string>{"b1", "b1", "b2", "b2"}));
  stages.calls.clear();
  req.top_k = 0;
  EXPECT_TRUE(search_multi(no_engine(), {"", "a"}, req, stages)->empty());
  req.top_k = 4;
  EXPECT_TRUE(search_multi(no_engine(), {}, req, stages)->empty());
  EXPECT_TRUE(stages.calls.empty());
  stages.fail_in = ZolvaError::invalid_input("boom");
  stages.fail_stage = 'k';
  stages.fail_ns = "b";
  EXPECT_FALSE(search_multi(no_engine(), {"a", "b"}, req, stages).ok());
}

TEST(SearchMulti, NanScoresKeepAStableOrder) {
  FakeStages stages;
  stages.lists = [](char, std::string_view ns) {
    std::vector<SearchHit> out;
    for (int i = 0; i < 4; ++i) {
      out.push_back(hit(std::string(ns), std::string(ns) + std::to_string(i), NodeId(i + 1),
                        ns == "a" || i % 2 ? NAN : float(i)));
    }
    return out;
  };
  SearchRequest req = request(true, false, false, 8);
  req.include_quarantined = true;
  auto all_nan = search_multi(no_engine(), {"a", "a"}, req, stages);
  ASSERT_TRUE(all_nan.ok());
  EXPECT_EQ(keys_of(*all_nan),
            (std::vector<std::string>{"a0", "a1", "a2", "a3", "a0", "a1", "a2", "a3"}));
  auto first = search_multi(no_engine(), {"a", "b"}, req, stages);
  for (int i = 0; i < 3; ++i) {
    auto again = search_multi(no_engine(), {"a", "b"}, req, stages);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(keys_of(*again), keys_of(*first));
  }
}

}  // namespace
}  // namespace zv::search
