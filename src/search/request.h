// The record that describes one search (SearchRequest and the option records
// inside it) and the checks that refuse a bad request before any stage reads
// anything. Plain values; the checks are pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/record/validation.h"
#include "src/sdk/list_options.h"
#include "src/search/search_hit.h"
#include "src/vector/distance_metric.h"

namespace zv {

enum class SearchMode : uint8_t {
  kKeyword = 0,  // keyword stage only
  kVector = 1,   // dense and sparse stages only
  kHybrid = 2,   // every stage
};

// "Keyword", "Vector" or "Hybrid".
std::string_view search_mode_name(SearchMode mode);

struct SearchProfileConfig {
  SearchMode mode = SearchMode::kHybrid;
  std::optional<uint64_t> rrf_k;        // fusion constant, 60 when absent
  std::optional<uint64_t> candidate_k;  // per-stage count of fused routes

  bool operator==(const SearchProfileConfig&) const = default;
  // "SearchProfileConfig { mode: Hybrid, rrf_k: Some(60), candidate_k: None }"
  std::string debug_string() const;
};

struct MmrOptions {
  std::optional<uint64_t> fetch_k;  // absent: five times top_k
  float lambda = 0.5f;              // relevance weight, within [0, 1]
};

struct GroupByOptions {
  std::string field;  // used exactly as given
  uint64_t group_size = 1;
};

struct ScoreRange {
  std::optional<float> min_score;
  std::optional<float> max_score;
};

struct SearchRequest {
  std::string ns;  // the namespace searched
  std::vector<float> query_vector;  // empty: no dense stage
  std::optional<SparseVector> query_sparse;  // absent or empty: no sparse stage
  std::optional<std::string> text_query;  // trimmed before use
  FieldMap filters;
  uint64_t top_k = 10;
  DistanceMetric distance_metric = DistanceMetric::kCosine;
  bool explain = false;
  bool exclude_superseded = false;
  bool include_quarantined = false;
  std::optional<float> min_confidence;
  std::optional<uint64_t> as_of_ms;
  std::optional<ValidWindow> valid_window;
  std::optional<SearchProfileConfig> search_profile;
  std::optional<MmrOptions> mmr;
  std::optional<GroupByOptions> group_by;
  std::optional<ScoreRange> range;
  std::optional<std::string> cursor;

  // A deep copy; every member is a value, so this is the copy constructor
  // named for the places that copy a request on purpose.
  SearchRequest clone() const { return *this; }
};

// The most candidates MMR re-ranks; also the largest top_k that MMR accepts.
inline constexpr uint64_t kMmrMaxCandidates = 16384;

inline constexpr std::string_view kSearchOptionsInvalid = "SEARCH_OPTIONS_INVALID";
inline constexpr std::string_view kSearchCursorInvalid = "SEARCH_CURSOR_INVALID";

// InvalidInput with the message "<code>: <text>".
ZolvaError search_refusal(std::string_view code, std::string_view text);

// The option checks, in their fixed order; the first failure is returned.
// Namespace, filter keys and the cursor are not looked at here.
ZolvaStatus check_search_request(const SearchRequest& req);

// What every search does first: the checks, then the page-size shortcut. A
// value means the search is answered (top_k 0: an empty page, nothing else
// examined); none means it goes on to the stages.
ZolvaResult<std::optional<SearchResponse>> admit_search_request(const SearchRequest& req);

}  // namespace zv
