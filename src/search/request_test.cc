#include "src/search/request.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>

namespace zv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

SearchRequest base() {
  SearchRequest r;
  r.ns = "docs";
  r.text_query = "hello";
  r.top_k = 10;
  return r;
}

ScoreRange range(std::optional<float> lo, std::optional<float> hi) { return ScoreRange{lo, hi}; }
MmrOptions mmr(float lambda, std::optional<uint64_t> fetch_k = std::nullopt) {
  return MmrOptions{fetch_k, lambda};
}

struct Case {
  const char* name;
  std::function<void(SearchRequest&)> edit;
  const char* want;  // full display text; nullptr: accepted
};

TEST(SearchRequestChecks, TableOfRefusalsAndBoundaries) {
  const Case cases[] = {
      {"min NaN before max", [](auto& r) { r.range = range(kNaN, 0.5f); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.min_score must be finite"},
      {"min -inf", [](auto& r) { r.range = range(-kInf, std::nullopt); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.min_score must be finite"},
      {"max +inf alone", [](auto& r) { r.range = range(std::nullopt, kInf); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.max_score must be finite"},
      {"max NaN", [](auto& r) { r.range = range(0.1f, kNaN); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.max_score must be finite"},
      {"min above max", [](auto& r) { r.range = range(0.3f, 0.1f); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.min_score (0.3) must be <= range.max_score (0.1)"},
      {"tiny number without exponent", [](auto& r) { r.range = range(1e-7f, 0.0f); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.min_score (0.0000001) must be <= range.max_score (0)"},
      {"largest float without exponent", [](auto& r) { r.range = range(FLT_MAX, -FLT_MAX); },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.min_score (340282350000000000000000000000000000000) "
       "must be <= range.max_score (-340282350000000000000000000000000000000)"},
      {"equal bounds", [](auto& r) { r.range = range(0.3f, 0.3f); }, nullptr},
      {"empty range", [](auto& r) { r.range = ScoreRange{}; }, nullptr},
      {"range before group_by", [](auto& r) {
         r.range = range(kNaN, std::nullopt);
         r.group_by = GroupByOptions{"", 0};
       },
       "Invalid input: SEARCH_OPTIONS_INVALID: range.min_score must be finite"},
      {"group_by blanks", [](auto& r) { r.group_by = GroupByOptions{" \t\u3000", 1}; },
       "Invalid input: SEARCH_OPTIONS_INVALID: group_by.field must not be empty"},
      {"group_by word with blanks", [](auto& r) { r.group_by = GroupByOptions{" w ", 1}; }, nullptr},
      {"group_size 0", [](auto& r) { r.group_by = GroupByOptions{"f", 0}; },
       "Invalid input: SEARCH_OPTIONS_INVALID: group_by.group_size must be >= 1"},
      {"window empty", [](auto& r) { r.valid_window = ValidWindow{5, 5}; },
       "Invalid input: SEARCH_OPTIONS_INVALID: valid_window.from_ms (5) must be < valid_window.to_ms (5)"},
      {"window reversed", [](auto& r) { r.valid_window = ValidWindow{18446744073709551615ULL, 0}; },
       "Invalid input: SEARCH_OPTIONS_INVALID: valid_window.from_ms (18446744073709551615) must be < "
       "valid_window.to_ms (0)"},
      {"window ok", [](auto& r) { r.valid_window = ValidWindow{4, 5}; }, nullptr},
      {"confidence NaN", [](auto& r) { r.min_confidence = kNaN; },
       "Invalid input: SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"},
      {"confidence inf", [](auto& r) { r.min_confidence = kInf; },
       "Invalid input: SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"},
      {"confidence below", [](auto& r) { r.min_confidence = -0.01f; },
       "Invalid input: SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"},
      {"confidence above", [](auto& r) { r.min_confidence = 1.0001f; },
       "Invalid input: SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"},
      {"confidence 0", [](auto& r) { r.min_confidence = 0.0f; }, nullptr},
      {"confidence 1", [](auto& r) { r.min_confidence = 1.0f; }, nullptr},
      {"lambda NaN", [](auto& r) { r.mmr = mmr(kNaN); },
       "Invalid input: SEARCH_OPTIONS_INVALID: mmr.lambda must be within [0, 1]"},
      {"lambda above", [](auto& r) { r.mmr = mmr(1.01f); },
       "Invalid input: SEARCH_OPTIONS_INVALID: mmr.lambda must be within [0, 1]"},
      {"lambda below", [](auto& r) { r.mmr = mmr(-0.0001f); },
       "Invalid input: SEARCH_OPTIONS_INVALID: mmr.lambda must be within [0, 1]"},
      {"lambda 0 and 1", [](auto& r) { r.mmr = mmr(0.0f); }, nullptr},
      {"lambda 1 no fetch_k", [](auto& r) { r.mmr = mmr(1.0f); }, nullptr},
      {"fetch_k 0 after lambda", [](auto& r) { r.mmr = mmr(2.0f, 0); },
       "Invalid input: SEARCH_OPTIONS_INVALID: mmr.lambda must be within [0, 1]"},
      {"fetch_k 0", [](auto& r) { r.mmr = mmr(0.5f, 0); },
       "Invalid input: SEARCH_OPTIONS_INVALID: mmr.fetch_k must be >= 1"},
      {"fetch_k 0 before cursor", [](auto& r) {
         r.mmr = mmr(0.5f, 0);
         r.cursor = "x";
       },
       "Invalid input: SEARCH_OPTIONS_INVALID: mmr.fetch_k must be >= 1"},
      {"mmr, group_by and cursor", [](auto& r) {
         r.mmr = mmr(0.5f);
         r.group_by = GroupByOptions{"f", 1};
         r.cursor = "x";
       },
       "Invalid input: SEARCH_CURSOR_INVALID: cursor pagination is not supported with mmr"},
      {"group_by and cursor", [](auto& r) {
         r.group_by = GroupByOptions{"f", 1};
         r.cursor = "x";
       },
       "Invalid input: SEARCH_CURSOR_INVALID: cursor pagination is not supported with group_by"},
      {"mmr and group_by", [](auto& r) {
         r.mmr = mmr(0.5f);
         r.group_by = GroupByOptions{"f", 2};
       },
       nullptr},
      {"cursor alone", [](auto& r) { r.cursor = "not checked here"; }, nullptr},
      {"mmr page too large", [](auto& r) {
         r.mmr = mmr(0.5f);
         r.top_k = 16385;
       },
       "Invalid input: SEARCH_OPTIONS_INVALID: top_k must be <= 16384 when mmr is set"},
      {"mmr largest page", [](auto& r) {
         r.mmr = mmr(0.5f);
         r.top_k = 16384;
       },
       nullptr},
      {"large page without mmr", [](auto& r) { r.top_k = std::numeric_limits<uint64_t>::max(); }, nullptr},
  };
  for (const Case& c : cases) {
    SearchRequest r = base();
    c.edit(r);
    ZolvaStatus st = check_search_request(r);
    if (c.want == nullptr) {
      EXPECT_TRUE(st.ok()) << c.name << ": " << st.error().message();
    } else {
      ASSERT_FALSE(st.ok()) << c.name;
      EXPECT_EQ(st.error().kind(), ZolvaErrorKind::kInvalidInput) << c.name;
      EXPECT_EQ(st.error().message(), c.want) << c.name;
    }
  }
}

TEST(SearchRequestChecks, PageSizeZeroAnswersEmptyWithoutLookingFurther) {
  SearchRequest r;
  r.ns = "";
  r.top_k = 0;
  r.cursor = "{not a token";
  r.filters.emplace("__zolva_key", FieldValue::integer(1));
  auto admitted = admit_search_request(r);
  ASSERT_TRUE(admitted.ok());
  ASSERT_TRUE(admitted->has_value());
  EXPECT_TRUE((*admitted)->hits.empty());
  EXPECT_FALSE((*admitted)->next_cursor.has_value());

  // The option checks still run first.
  r.range = ScoreRange{kNaN, std::nullopt};
  EXPECT_FALSE(admit_search_request(r).ok());

  // A non-zero page goes on to the stages.
  SearchRequest go = base();
  auto next = admit_search_request(go);
  ASSERT_TRUE(next.ok());
  EXPECT_FALSE(next->has_value());
}

TEST(SearchRequest, CloneIsDeep) {
  SearchRequest r = base();
  r.query_vector = {1.0f, 2.0f};
  r.query_sparse = SparseVector{{3, 0.5f}};
  r.filters.emplace("tag", FieldValue::string("a"));
  r.cursor = "c";
  r.group_by = GroupByOptions{"g", 2};
  SearchRequest copy = r.clone();
  copy.ns += "x";
  copy.text_query->append("y");
  copy.query_vector[0] = 9.0f;
  (*copy.query_sparse)[3] = 7.0f;
  copy.filters["tag"] = FieldValue::string("b");
  copy.cursor->append("z");
  copy.group_by->field = "h";
  EXPECT_EQ(r.ns, "docs");
  EXPECT_EQ(*r.text_query, "hello");
  EXPECT_EQ(r.query_vector[0], 1.0f);
  EXPECT_EQ(r.query_sparse->at(3), 0.5f);
  EXPECT_EQ(r.filters.at("tag"), FieldValue::string("a"));
  EXPECT_EQ(*r.cursor, "c");
  EXPECT_EQ(r.group_by->field, "g");
}

TEST(SearchProfileConfig, DebugText) {
  SearchProfileConfig p{SearchMode::kHybrid, 60, std::nullopt};
  EXPECT_EQ(p.debug_string(), "SearchProfileConfig { mode: Hybrid, rrf_k: Some(60), candidate_k: None }");
  SearchProfileConfig q{SearchMode::kKeyword, std::nullopt, 7};
  EXPECT_EQ(q.debug_string(), "SearchProfileConfig { mode: Keyword, rrf_k: None, candidate_k: Some(7) }");
}

}  // namespace
}  // namespace zv
