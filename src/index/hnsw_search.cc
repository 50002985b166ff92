// The nearest search: method dispatch, the graph search through the layers,
// the exact flat scan and the route to the lazily built alternative indexes.
#include <algorithm>
#include <cmath>

#include "platform/fill_message.h"
#include "platform/log.h"
#include "src/index/adaptive_ef.h"
#include "src/index/flat_scan.h"
#include "src/index/hnsw_index.h"
#include "src/vector/kernel_call.h"

namespace zv {
namespace {

constexpr const char* kZeroNormQueryWarning =
    "zero-norm cosine query is undefined; returning no results (AUDREP-55, was silently "
    "re-scored with euclidean)";
constexpr const char* kMetricBoundMessage =
    "distance_metric {} requested but the {} backend is metric-bound to the configured metric "
    "{} (built at lazy-cache time). Use method=hnsw or method=flat for a per-request metric, or "
    "configure the engine with {}";
constexpr const char* kScannMetricIgnored =
    "scann backend is metric-bound to the configured metric; per-request distance_metric "
    "ignored on this config-driven path (MCP-02)";
constexpr const char* kIvfMetricIgnored =
    "ivf backend is metric-bound to the configured metric; per-request distance_metric "
    "ignored on this config-driven path (MCP-02)";
constexpr const char* kLogTarget = "zolva::index::search";
constexpr const char* kIvfBackend = "ivf";
constexpr const char* kScannBackend = "scann";

std::string metric_bound_error(DistanceMetric requested, const char* backend,
                               DistanceMetric configured) {
  return fill(kMetricBoundMessage, {metric_name(requested), backend, metric_name(configured),
                                    metric_name(requested)});
}

bool zero_norm(std::span<const float> q) {
  if (q.empty()) return true;
  const F32View v(q);
  return std::sqrt(kern::dot_norm(v, v).second) < kNormEpsilon;
}

}  // namespace

NearestResult HnswIndex::search_nearest(std::span<const float> query,
                                        std::optional<std::span<const uint64_t>> q_1bit,
                                        std::optional<alternate::TurboQuery> q_3bit,
                                        const FilterBitset& query_mask, uint64_t top_k,
                                        const DiskNodeReader* reader) const {
  // The quantised query forms are accepted and not used.
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kTrace)) {
    span.emplace("search_nearest",
                 log::Fields{{"_q_1bit", q_1bit ? "Some" : "None"},
                             {"_q_3bit", q_3bit ? "Some" : "None"},
                             {"query_mask", std::to_string(query_mask.words().size()) + " words"},
                             {"top_k", std::to_string(top_k)}});
  }
  return search_nearest_with_metric(query, query_mask, top_k, reader, config_.metric);
}

NearestResult HnswIndex::search_nearest_with_metric(std::span<const float> query,
                                                    const FilterBitset& query_mask,
                                                    uint64_t top_k,
                                                    const DiskNodeReader* reader,
                                                    DistanceMetric metric) const {
  if (metric == DistanceMetric::kCosine && zero_norm(query)) {
    ZV_WARN(kLogTarget, kZeroNormQueryWarning, {"message", kZeroNormQueryWarning});
    return {};
  }
  const auto kind = static_cast<IndexKind>(config_.index_type);
  if (kind == IndexKind::kScann || kind == IndexKind::kIvf) {
    if (metric != config_.metric) {
      const char* text = kind == IndexKind::kScann ? kScannMetricIgnored : kIvfMetricIgnored;
      ZV_WARN(kLogTarget, text, {"message", text},
              {"request_metric", std::string(metric_name(metric))},
              {"config_metric", std::string(metric_name(config_.metric))});
    }
    return alternate_cache_search(kind, query, query_mask, top_k);
  }
  if (const auto threshold = flat_threshold(); threshold && len() <= *threshold)
    return flat_search(query, query_mask, top_k, metric);
  return graph_search(query, query_mask, top_k, reader, metric);
}

ZolvaResult<NearestResult> HnswIndex::search_by_method(uint8_t method,
                                                       std::span<const float> query,
                                                       const FilterBitset& query_mask,
                                                       uint64_t top_k,
                                                       DistanceMetric metric) const {
  switch (static_cast<IndexKind>(method)) {
    case IndexKind::kIvf:
      if (metric != config_.metric)
        return make_unexpected(
            ZolvaError::invalid_input(metric_bound_error(metric, kIvfBackend, config_.metric)));
      return alternate_cache_search(IndexKind::kIvf, query, query_mask, top_k);
    case IndexKind::kScann:
      if (metric != config_.metric)
        return make_unexpected(
            ZolvaError::invalid_input(metric_bound_error(metric, kScannBackend, config_.metric)));
      return alternate_cache_search(IndexKind::kScann, query, query_mask, top_k);
    case IndexKind::kFlat:
      return flat_search(query, query_mask, top_k, metric);
    default:
      return search_nearest_with_metric(query, query_mask, top_k, nullptr, metric);
  }
}

NearestResult HnswIndex::graph_search(std::span<const float> query,
                                      const FilterBitset& query_mask, uint64_t top_k,
                                      const DiskNodeReader* reader,
                                      DistanceMetric metric) const {
  const uint32_t ep = entry_slot_.load(std::memory_order_acquire);
  if (ep == kNoSlot) return {};
  uint64_t ef = std::max(config_.ef_search, top_k);
  if (config_.adaptive_ef) ef = std::max(ef, adaptive_ef());
  const LayerQuery qp = LayerQuery::for_metric(F32View(query), metric);
  thread_local VisitedSet visited;
  uint32_t entry = ep;
  const uint64_t top = max_level_.load(std::memory_order_acquire);
  const FilterBitset& all = FilterBitset::unfiltered();
  for (uint64_t layer = top; layer >= 1; --layer) {
    visited.clear();
    std::vector<Cand> res = search_layer_slots(qp, std::span<const uint32_t>(&entry, 1), 1,
                                               layer, all, false, reader, metric, visited);
    auto best = std::min_element(res.begin(), res.end(),
                                 [this](const Cand& a, const Cand& b) { return better_cand(a, b); });
    if (best != res.end()) entry = best->slot;
  }
  visited.clear();
  const bool two_hop = !query_mask.is_unfiltered();
  std::vector<Cand> res = search_layer_slots(qp, std::span<const uint32_t>(&entry, 1), ef, 0,
                                             query_mask, two_hop, reader, metric, visited);
  std::erase_if(res, [](const Cand& c) { return std::isnan(c.score); });
  const size_t keep = static_cast<size_t>(std::min<uint64_t>(top_k, res.size()));
  std::partial_sort(res.begin(), res.begin() + keep, res.end(),
                    [this](const Cand& a, const Cand& b) { return better_cand(a, b); });
  NearestResult out;
  out.reserve(keep);
  for (size_t i = 0; i < keep; ++i) {
    float s = res[i].score;
    if (metric == DistanceMetric::kEuclidean) s = -std::sqrt(std::max(0.0f, -s));
    out.push_back({table_.id_of(res[i].slot), s});
  }
  return out;
}

NearestResult HnswIndex::flat_search(std::span<const float> query, const FilterBitset& filter,
                                     uint64_t top_k, DistanceMetric metric) const {
  NearestResult all;
  FlatScan scan(*this, query, filter, metric);
  while (auto c = scan.candidate_next()) all.push_back(*c);
  const size_t keep = static_cast<size_t>(std::min<uint64_t>(top_k, all.size()));
  std::partial_sort(all.begin(), all.begin() + keep, all.end(), BestFirst{});
  all.resize(keep);
  return all;
}

NearestResult HnswIndex::alternate_cache_search(IndexKind kind, std::span<const float> query,
                                                const FilterBitset& query_mask,
                                                uint64_t top_k) const {
  return kind == IndexKind::kIvf ? ivf_cache_search(query, query_mask, top_k)
                                 : scann_cache_search(query, query_mask, top_k);
}

}  // namespace zv
