#include "src/search/request.h"

#include <cmath>

#include "platform/unicode_space.h"
#include "src/record/float_text.h"

namespace zv {
namespace {

std::string optional_count(const std::optional<uint64_t>& v) {
  return v ? "Some(" + std::to_string(*v) + ")" : std::string("None");
}

ZolvaStatus options_invalid(std::string_view text) {
  return make_unexpected(search_refusal(kSearchOptionsInvalid, text));
}

}  // namespace

std::string_view search_mode_name(SearchMode mode) {
  switch (mode) {
    case SearchMode::kKeyword: return "Keyword";
    case SearchMode::kVector: return "Vector";
    case SearchMode::kHybrid: return "Hybrid";
  }
  return "Hybrid";
}

std::string SearchProfileConfig::debug_string() const {
  std::string out = "SearchProfileConfig { mode: ";
  out += search_mode_name(mode);
  out += ", rrf_k: " + optional_count(rrf_k);
  out += ", candidate_k: " + optional_count(candidate_k);
  out += " }";
  return out;
}

ZolvaError search_refusal(std::string_view code, std::string_view text) {
  std::string msg(code);
  msg += ": ";
  msg += text;
  return ZolvaError::invalid_input(std::move(msg));
}

ZolvaStatus check_search_request(const SearchRequest& req) {
  if (req.range) {
    const ScoreRange& r = *req.range;
    if (r.min_score && !std::isfinite(*r.min_score)) return options_invalid("range.min_score must be finite");
    if (r.max_score && !std::isfinite(*r.max_score)) return options_invalid("range.max_score must be finite");
    if (r.min_score && r.max_score && *r.min_score > *r.max_score) {
      return options_invalid("range.min_score (" + float_display_f32(*r.min_score) +
                             ") must be <= range.max_score (" + float_display_f32(*r.max_score) + ")");
    }
  }
  if (req.group_by) {
    if (trim_unicode_white_space(req.group_by->field).empty())
      return options_invalid("group_by.field must not be empty");
    if (req.group_by->group_size == 0) return options_invalid("group_by.group_size must be >= 1");
  }
  if (req.valid_window && req.valid_window->from_ms >= req.valid_window->to_ms) {
    return options_invalid("valid_window.from_ms (" + std::to_string(req.valid_window->from_ms) +
                           ") must be < valid_window.to_ms (" +
                           std::to_string(req.valid_window->to_ms) + ")");
  }
  if (req.min_confidence) {
    const float m = *req.min_confidence;
    if (!std::isfinite(m) || m < 0.0f || m > 1.0f)
      return options_invalid("min_confidence must be finite and within [0, 1]");
  }
  if (req.mmr) {
    const float l = req.mmr->lambda;
    if (!(l >= 0.0f && l <= 1.0f)) return options_invalid("mmr.lambda must be within [0, 1]");
    if (req.mmr->fetch_k && *req.mmr->fetch_k == 0) return options_invalid("mmr.fetch_k must be >= 1");
    if (req.cursor) {
      return make_unexpected(
          search_refusal(kSearchCursorInvalid, "cursor pagination is not supported with mmr"));
    }
  } else if (req.group_by && req.cursor) {
    return make_unexpected(
        search_refusal(kSearchCursorInvalid, "cursor pagination is not supported with group_by"));
  }
  // MMR's candidate count is clamped into [top_k, 16384]; a larger page
  // would leave that range empty.
  if (req.mmr && req.top_k > kMmrMaxCandidates)
    return options_invalid("top_k must be <= 16384 when mmr is set");
  return {};
}

ZolvaResult<std::optional<SearchResponse>> admit_search_request(const SearchRequest& req) {
  ZV_TRY(check_search_request(req));
  if (req.top_k == 0) return std::optional<SearchResponse>(SearchResponse{});
  return std::optional<SearchResponse>();
}

}  // namespace zv
