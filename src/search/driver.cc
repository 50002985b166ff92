#include "src/search/driver.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/clock.h"
#include "platform/saturating.h"
#include "platform/unicode_space.h"
#include "src/runtime/operational_counters.h"
#include "src/search/cursor.h"
#include "src/search/dense_stage.h"
#include "src/search/explain_hit.h"
#include "src/search/fingerprint.h"
#include "src/search/fusion.h"
#include "src/search/grouping.h"
#include "src/search/keyword_stage.h"
#include "src/search/mmr.h"
#include "src/search/paging.h"
#include "src/search/rank_map.h"
#include "src/search/sparse_stage.h"
#include "src/vector/kernel_call.h"

namespace zv::search {
namespace {

constexpr uint64_t kMaxRetryCount = 10000;
constexpr float kDefaultRrfK = 60.0f;
constexpr float kMinQueryNorm = 1.1920929e-7f;
constexpr std::string_view kZeroNormMessage =
    "zero-norm cosine query vector is undefined; use a non-zero vector or the euclidean "
    "distance metric (AUDREP-55, ERR-028)";

using Hits = std::vector<SearchHit>;

// What one search fixes before its first attempt.
struct Plan {
  uint64_t top_k = 0;
  uint64_t count = 0;  // the first attempt's candidate count
  std::optional<CursorPosition> cursor;
  bool threshold_in_force = false;
  bool post_filter = false;
  uint64_t now = 0;  // read only under exclude_superseded
};

// The inputs of one attempt after trimming and the mode.
struct Inputs {
  std::string_view text;
  bool has_text = false;
  bool has_dense = false;
  bool has_sparse = false;
};

// One attempt's route result: the working list (cut to the count) and the
// stage lists the explanations rank by.
struct RouteResult {
  Hits hits;
  std::optional<Hits> keyword_list;
  std::optional<Hits> dense_list;
};

uint64_t elapsed_ms(uint64_t start_ns) {
  const uint64_t ns = monotonic_ns() - start_ns;
  return (ns / 1000000000u) * 1000u + (ns % 1000000000u) / 1000000u;
}

bool post_filter_flag(const SearchRequest& req, bool threshold_in_force) {
  if (req.cursor || (req.range && req.range->max_score) || req.group_by || req.valid_window ||
      req.as_of_ms) {
    return true;
  }
  return !req.include_quarantined || req.min_confidence || threshold_in_force;
}

Inputs select_inputs(const SearchRequest& copy) {
  Inputs in;
  in.text = trim_unicode_white_space(copy.text_query ? std::string_view(*copy.text_query) : "");
  in.has_text = !in.text.empty();
  in.has_dense = !copy.query_vector.empty();
  in.has_sparse = copy.query_sparse && !copy.query_sparse->empty();
  const SearchMode mode = copy.search_profile ? copy.search_profile->mode : SearchMode::kHybrid;
  if (mode == SearchMode::kKeyword) in.has_dense = in.has_sparse = false;
  if (mode == SearchMode::kVector) in.has_text = false;
  return in;
}

ZolvaStatus check_query_norm(const SearchRequest& copy) {
  if (copy.query_vector.empty() || copy.distance_metric != DistanceMetric::kCosine) return {};
  const float norm = std::sqrt(kern::dot_norm(copy.query_vector, copy.query_vector).first);
  if (norm < kMinQueryNorm) {  // a NaN norm passes
    return make_unexpected(ZolvaError::invalid_input(std::string(kZeroNormMessage)));
  }
  return {};
}

void cut(Hits& hits, uint64_t count) {
  if (hits.size() > count) hits.resize(count);
}

// The fused list of a route pairing one stage with the sparse stage, cut to
// the candidate count.
Hits fuse_with_sparse(Hits other, Hits sparse, float k, uint64_t c) {
  std::vector<Hits> lists;
  lists.push_back(std::move(other));
  lists.push_back(std::move(sparse));
  Hits fused = fusion::fuse_rrf_lists(std::move(lists), k);
  cut(fused, c);
  return fused;
}

// Runs the stages the inputs select, fuses and cuts; counts the attempt
// unless it builds explanations.
ZolvaResult<RouteResult> run_route(const SearchRequest& copy, const Inputs& in, uint64_t c,
                                   uint8_t method, StageSeam& stages) {
  OperationalCounters& counters = OperationalCounters::global();
  const bool count_it = !copy.explain;
  const uint64_t w = widened_count(c, copy.search_profile);
  const float k = copy.search_profile && copy.search_profile->rrf_k
                      ? static_cast<float>(*copy.search_profile->rrf_k)
                      : kDefaultRrfK;
  const std::string_view ns = copy.ns;
  const FieldMap& filters = copy.filters;
  const DistanceMetric metric = copy.distance_metric;
  RouteResult out;

  if (in.has_text && in.has_dense) {
    if (count_it) counters.planner_hybrid_queries.add(1);
    const uint64_t start = monotonic_ns();
    ZV_ASSIGN_OR_RETURN(Hits keyword, stages.keyword(ns, in.text, filters, w));
    ZV_ASSIGN_OR_RETURN(Hits dense, stages.dense(ns, copy.query_vector, filters, w, metric, method));
    if (copy.explain) {
      out.keyword_list = keyword;
      out.dense_list = dense;
    }
    if (in.has_sparse) {
      ZV_ASSIGN_OR_RETURN(Hits sparse, stages.sparse(ns, *copy.query_sparse, filters, w));
      std::vector<Hits> lists;
      lists.push_back(std::move(keyword));
      lists.push_back(std::move(dense));
      lists.push_back(std::move(sparse));
      out.hits = fusion::fuse_rrf_lists(std::move(lists), k);
    } else {
      out.hits = fusion::fuse_rrf(std::move(keyword), std::move(dense), k).first;
    }
    const uint64_t fused = out.hits.size();
    cut(out.hits, c);
    if (count_it) {
      counters.hybrid_query_ms.max(elapsed_ms(start));
      counters.hybrid_candidates_fused.add(fused);
    }
    return out;
  }
  if (in.has_text && in.has_sparse) {
    if (count_it) counters.planner_hybrid_queries.add(1);
    ZV_ASSIGN_OR_RETURN(Hits keyword, stages.keyword(ns, in.text, filters, w));
    if (copy.explain) out.keyword_list = keyword;
    ZV_ASSIGN_OR_RETURN(Hits sparse, stages.sparse(ns, *copy.query_sparse, filters, w));
    out.hits = fuse_with_sparse(std::move(keyword), std::move(sparse), k, c);
    return out;
  }
  if (in.has_text) {
    if (count_it) counters.planner_text_only_queries.add(1);
    ZV_ASSIGN_OR_RETURN(out.hits, stages.keyword(ns, in.text, filters, c));
    if (copy.explain) out.keyword_list = out.hits;
    return out;
  }
  if (in.has_dense && in.has_sparse) {
    if (count_it) counters.planner_hybrid_queries.add(1);
    // Without explanations this route searches the index's default path,
    // whatever method the caller named.
    const uint8_t dense_method = copy.explain ? method : kMethodNone;
    ZV_ASSIGN_OR_RETURN(Hits dense, stages.dense(ns, copy.query_vector, filters, w, metric,
                                                 dense_method));
    if (copy.explain) out.dense_list = dense;
    ZV_ASSIGN_OR_RETURN(Hits sparse, stages.sparse(ns, *copy.query_sparse, filters, w));
    out.hits = fuse_with_sparse(std::move(dense), std::move(sparse), k, c);
    return out;
  }
  if (in.has_dense) {
    if (count_it) counters.planner_vector_only_queries.add(1);
    ZV_ASSIGN_OR_RETURN(out.hits, stages.dense(ns, copy.query_vector, filters, c, metric, method));
    if (copy.explain) out.dense_list = out.hits;
    return out;
  }
  if (in.has_sparse) {
    if (count_it) counters.planner_sparse_only_queries.add(1);
    ZV_ASSIGN_OR_RETURN(out.hits, stages.sparse(ns, *copy.query_sparse, filters, c));
    return out;
  }
  return out;
}

ZolvaStatus attach_explanations(const SearchContext& ctx, const Inputs& in, RouteResult& route) {
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, ctx.engine());
  const RankMap text_ranks = route.keyword_list ? rank_map(*route.keyword_list) : RankMap{};
  const RankMap vector_ranks = route.dense_list ? rank_map(*route.dense_list) : RankMap{};
  const std::optional<std::string_view> query =
      in.has_text ? std::optional<std::string_view>(in.text) : std::nullopt;
  for (SearchHit& hit : route.hits) {
    ZV_ASSIGN_OR_RETURN(HitExplanation e, explain_text_match(*engine->backend, engine->text_stats,
                                                             hit, query, text_ranks, vector_ranks));
    hit.explanation = std::move(e);
  }
  return {};
}

// The lifecycle, confidence and score filters, in order, keeping the order
// of the hits that survive.
void apply_filters(const SearchRequest& req, const Plan& plan,
                   const std::optional<float>& threshold, Hits& hits) {
  std::erase_if(hits, [&](const SearchHit& h) {
    const MemoryRecord& r = h.record;
    if (!req.include_quarantined && r.quarantined_at_ms) return true;
    if (req.exclude_superseded &&
        (r.superseded_by || (r.invalid_at_ms && *r.invalid_at_ms <= plan.now))) {
      return true;
    }
    if (req.as_of_ms) {
      const uint64_t t = *req.as_of_ms;
      if (r.valid_at_ms > t || (r.invalid_at_ms && *r.invalid_at_ms <= t)) return true;
    }
    if (req.valid_window) {
      if (r.valid_at_ms >= req.valid_window->to_ms ||
          (r.invalid_at_ms && *r.invalid_at_ms <= req.valid_window->from_ms)) {
        return true;
      }
    }
    if (req.min_confidence && !(r.confidence >= *req.min_confidence)) return true;
    if (plan.threshold_in_force && !(r.confidence >= *threshold)) return true;
    if (req.range && (req.range->min_score || req.range->max_score)) {
      if (std::isnan(h.score)) return true;
      if (req.range->min_score && h.score < *req.range->min_score) return true;
      if (req.range->max_score && h.score > *req.range->max_score) return true;
    }
    return false;
  });
}

ZolvaResult<Plan> make_plan(const SearchContext& ctx, const SearchRequest& req) {
  Plan plan;
  plan.top_k = req.top_k;
  if (req.cursor) {
    ZV_ASSIGN_OR_RETURN(plan.cursor, parse_cursor(*req.cursor, plan_fingerprint(req)));
  }
  plan.count = req.top_k;
  if (req.mmr) plan.count = mmr_candidate_count(req.top_k, req.mmr->fetch_k);
  if (plan.cursor) plan.count = std::max(plan.count, sat_add_u64(plan.cursor->offset, req.top_k));
  const std::optional<float>& t = ctx.confidence_threshold;
  plan.threshold_in_force = t && std::isfinite(*t) && *t >= 0.0f && *t <= 1.0f;
  plan.post_filter = post_filter_flag(req, plan.threshold_in_force);
  if (req.exclude_superseded) plan.now = now_ms();
  return plan;
}

}  // namespace

uint64_t widened_count(uint64_t c, const std::optional<SearchProfileConfig>& profile) {
  if (profile && profile->candidate_k) return std::max(*profile->candidate_k, c);
  if (c >= (uint64_t{1} << 62)) return c;
  return std::max(c, std::min<uint64_t>(256, std::max<uint64_t>(32, 4 * c)));
}

ZolvaResult<std::vector<SearchHit>> EngineStages::keyword(std::string_view ns,
                                                          std::string_view text,
                                                          const FieldMap& filters,
                                                          uint64_t count) {
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, source_());
  return text_query(*engine, ns, text, filters, count);
}

ZolvaResult<std::vector<SearchHit>> EngineStages::dense(std::string_view ns,
                                                        std::span<const float> query,
                                                        const FieldMap& filters, uint64_t count,
                                                        DistanceMetric metric, uint8_t method) {
  return dense_candidates(source_, ns, query, filters, count, metric, method);
}

ZolvaResult<std::vector<SearchHit>> EngineStages::sparse(std::string_view ns,
                                                         const SparseVector& query,
                                                         const FieldMap& filters,
                                                         uint64_t count) {
  return sparse_candidates(source_, ns, query, filters, count);
}

ZolvaResult<SearchResponse> search_impl(const SearchContext& ctx, SearchRequest req,
                                        uint8_t method, StageSeam& stages) {
  ZV_ASSIGN_OR_RETURN(std::optional<SearchResponse> answered, admit_search_request(req));
  if (answered) return std::move(*answered);
  ZV_ASSIGN_OR_RETURN(Plan plan, make_plan(ctx, req));

  uint64_t c = plan.count;
  Hits hits;
  while (true) {
    SearchRequest copy = req.clone();
    copy.top_k = c;
    copy.cursor.reset();
    ZV_TRY(validate_namespace(copy.ns));
    ZV_TRY(validate_metadata_keys(&copy.filters));
    const Inputs in = select_inputs(copy);
    ZV_TRY(check_query_norm(copy));
    ZV_ASSIGN_OR_RETURN(RouteResult route, run_route(copy, in, c, method, stages));
    const uint64_t delivered = route.hits.size();
    if (copy.explain) ZV_TRY(attach_explanations(ctx, in, route));
    hits = std::move(route.hits);
    apply_filters(req, plan, ctx.confidence_threshold, hits);
    if (req.mmr) hits = mmr_rerank(std::move(hits), plan.top_k, *req.mmr);
    if (req.group_by) hits = group_hits(std::move(hits), plan.top_k, *req.group_by);
    if (plan.cursor) resume_after(hits, *plan.cursor);
    const bool again = hits.size() < plan.top_k && delivered >= c && c < kMaxRetryCount &&
                       plan.post_filter;
    if (!again) break;
    c = std::min(2 * c, kMaxRetryCount);
  }
  const uint64_t listed = hits.size();
  cut(hits, plan.top_k);
  SearchResponse out;
  out.next_cursor = next_cursor(req, plan.cursor, listed, hits);
  out.hits = std::move(hits);
  return out;
}

ZolvaResult<SearchResponse> search_impl(const SearchContext& ctx, SearchRequest req,
                                        uint8_t method) {
  EngineStages stages(ctx.engine);
  return search_impl(ctx, std::move(req), method, stages);
}

ZolvaResult<SearchResponse> search_page(const SearchContext& ctx, SearchRequest req) {
  return search_impl(ctx, std::move(req), kMethodNone);
}

}  // namespace zv::search
