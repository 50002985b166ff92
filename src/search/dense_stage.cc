#include "src/search/dense_stage.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "platform/stable_merge_sort.h"
#include "src/runtime/filter_bitset.h"
#include "src/runtime/operational_counters.h"
#include "src/search/hit_order.h"
#include "src/search/ranked_reads.h"
#include "src/search/shred_filter.h"
#include "src/storage/field_stats.h"
#include "src/storage/filtered_records.h"
#include "src/storage/shred_record.h"
#include "src/record/node_key.h"
#include "src/vector/kernel_call.h"

namespace zv::search {
namespace {

constexpr float kExactBelow = 0.01f;
constexpr float kPrefilterBelow = 0.1f;
constexpr float kMinNorm = 1.1920929e-7f;  // 2^-23

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t out;
  return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
}

// The index fetch count without a pre-filter: ten times the count, at most
// 500, never fewer than the count.
uint64_t fetch_count(uint64_t count) {
  return std::max(count, std::min<uint64_t>(saturating_mul(count, 10), 500));
}

float exact_score(std::span<const float> query, float query_norm, const std::vector<float>& v,
                  DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::kSparseDot: return 0.0f;
    case DistanceMetric::kEuclidean: return -kern::l2_squared(query, v);
    case DistanceMetric::kCosine: break;
  }
  if (query_norm < kMinNorm) return 0.0f;
  const auto [dot, norm2] = kern::dot_norm(query, v);
  const float norm = std::sqrt(norm2);
  if (norm < kMinNorm) return 0.0f;
  return dot / (norm * query_norm);
}

ZolvaResult<std::vector<SearchHit>> exact_route(StorageEngine& engine, std::string_view ns,
                                                std::span<const float> query,
                                                const FieldMap& filters, uint64_t count,
                                                DistanceMetric metric,
                                                std::optional<std::vector<MemoryRecord>> listed) {
  if (!listed) {
    ZV_ASSIGN_OR_RETURN(listed, list_filtered_records(engine, ns, filters));
  }
  const float query_norm = std::sqrt(kern::dot_norm(query, query).second);
  // Scored entries are sorted in place of the records, and only the kept
  // ones become hits; the order is the hit order (compare_hits).
  struct Scored {
    float score;
    MemoryRecord* record;
  };
  std::vector<Scored> scored;
  scored.reserve(listed->size());
  for (MemoryRecord& record : *listed) {
    if (!record.vector || record.vector->size() != query.size()) continue;
    scored.push_back(Scored{exact_score(query, query_norm, *record.vector, metric), &record});
  }
  stable_merge_sort(scored, [](const Scored& a, const Scored& b) {
    if (a.score > b.score) return true;
    if (b.score > a.score) return false;
    const int c = a.record->key.compare(b.record->key);
    if (c != 0) return c < 0;
    return a.record->node_id < b.record->node_id;
  });
  if (scored.size() > count) scored.resize(count);
  std::vector<SearchHit> hits;
  hits.reserve(scored.size());
  for (const Scored& s : scored) {
    hits.push_back(SearchHit{std::move(*s.record), std::nullopt, s.score});
  }
  record_hits_access(engine, hits);
  if (metric == DistanceMetric::kEuclidean) {
    for (SearchHit& h : hits) h.score = -std::sqrt(std::max(-h.score, 0.0f));
  }
  return hits;
}

// The pre-filter band. The shred records decide only whether any record of
// the namespace passes: the bits a pre-filter would set are never set on the
// index's nodes, so an index search under them finds nothing and the exact
// route's result is what the search returns. No bitset is built.
//
// The namespace is walked in key order; the first id whose shred record
// passes, or that has none (the filtered records then decide), settles it on
// the exact route, and no such id gives no hits. Both outcomes on the exact
// route hold only when the filtered records are not empty, so they are read
// first, and their own shred records are tried before the walk: one of them
// normally settles it at once.
ZolvaResult<std::vector<SearchHit>> prefilter_route(StorageEngine& engine, std::string_view ns,
                                                    std::span<const float> query,
                                                    const FieldMap& filters, uint64_t count,
                                                    DistanceMetric metric) {
  // A shred record holds only scalars: a date, list or Null filter would
  // pass nothing here while the record itself matches.
  if (!shred_can_test(filters)) {
    return exact_route(engine, ns, query, filters, count, metric, std::nullopt);
  }
  ZV_ASSIGN_OR_RETURN(std::vector<MemoryRecord> records, list_filtered_records(engine, ns, filters));
  if (records.empty()) return std::vector<SearchHit>();
  StorageBackend& backend = *engine.backend;
  // Whether the id settles the band on the exact route.
  auto settles = [&](NodeId id) {
    auto stored = backend.get(Partition::kInternalMetadata, shred_record::key(id));
    return !stored.ok() || !stored->has_value() ||
           shred_passes(decode_shred_lenient(**stored), filters);
  };
  bool settled = false;
  for (const MemoryRecord& r : records) {
    if ((settled = settles(r.node_id))) break;
  }
  if (!settled) {
    std::string prefix(ns);
    prefix.push_back('\0');
    ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> ids,
                        backend.prefix_iter(Partition::kNamespaceIndex, prefix));
    OperationalCounters::global().derived_prefix_scans.add(1);
    while (auto item = ids->next()) {
      if (!item->ok()) return make_unexpected(std::move(*item).error());
      const std::optional<NodeId> id = node_id_from_key((*item)->value);
      if (id && (settled = settles(*id))) break;
    }
  }
  if (!settled) return std::vector<SearchHit>();
  return exact_route(engine, ns, query, filters, count, metric, std::move(records));
}

// The index search with a match-all filter; candidates are read in the
// index's order, in growing batches, and filtered until `count` hits.
ZolvaResult<std::vector<SearchHit>> index_route(StorageEngine& engine, std::string_view ns,
                                                std::span<const float> query,
                                                const FieldMap& filters, uint64_t count,
                                                DistanceMetric metric, uint8_t method) {
  const std::shared_ptr<VectorIndexPort> index = engine.vector_index();
  const uint64_t held = index->len();
  // An index never returns more than it holds, and a width at its size
  // explores it whole: the cap changes no result and keeps huge counts out.
  const uint64_t fetch = std::min(fetch_count(count), held);
  const FilterBitset match_all = FilterBitset::all_ones();
  NearestResult candidates;
  if (method == kMethodNone) {
    candidates = index->search_nearest_with_metric(query, match_all, fetch, nullptr, metric);
  } else {
    ZV_ASSIGN_OR_RETURN(candidates,
                        index->search_by_method(method, query, match_all, fetch, metric));
  }
  std::vector<RankedCandidate> order;
  order.reserve(candidates.size());
  for (const ScoredCandidate& c : candidates) order.push_back(RankedCandidate{c.id, c.score, {}});
  auto walked = read_in_order(engine, ns, filters, count, order, count, /*check_keys=*/false);
  if (!walked.ok()) return make_unexpected(std::move(walked).error());
  std::vector<SearchHit> hits;
  if (walked->has_value()) hits.swap(**walked);
  if (hits.empty()) {
    return exact_route(engine, ns, query, filters, count, metric, std::nullopt);
  }
  if (hits.size() < count && candidates.size() >= fetch && fetch < held) {
    // The fetch ran out before the page filled while the index holds more:
    // in a small namespace of a large index its nearer records may lie
    // beyond the fetch. The exact route finds every one of them.
    ZV_ASSIGN_OR_RETURN(std::vector<SearchHit> exact,
                        exact_route(engine, ns, query, filters, count, metric, std::nullopt));
    if (exact.size() > hits.size()) return exact;
  }
  record_hits_access(engine, hits);
  return hits;
}

}  // namespace

float filter_selectivity(const StorageEngine& engine, const FieldMap& filters) {
  float s = 1.0f;
  for (const auto& [field, value] : filters) {
    s = s * FieldStats::selectivity(engine, field, FilterOp::kEq, value);
  }
  return s;
}

ZolvaResult<std::vector<SearchHit>> dense_candidates(const EngineSource& source,
                                                     std::string_view ns,
                                                     std::span<const float> query,
                                                     const FieldMap& filters, uint64_t count,
                                                     DistanceMetric metric, uint8_t method) {
  if (query.empty()) return std::vector<SearchHit>();
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, source());
  return dense_candidates(*engine, ns, query, filters, count, metric, method);
}

ZolvaResult<std::vector<SearchHit>> dense_candidates(StorageEngine& engine, std::string_view ns,
                                                     std::span<const float> query,
                                                     const FieldMap& filters, uint64_t count,
                                                     DistanceMetric metric, uint8_t method) {
  if (query.empty()) return std::vector<SearchHit>();
  const float s = filters.empty() ? 1.0f : filter_selectivity(engine, filters);
  if (s < kExactBelow) {
    return exact_route(engine, ns, query, filters, count, metric, std::nullopt);
  }
  if (s < kPrefilterBelow) return prefilter_route(engine, ns, query, filters, count, metric);
  return index_route(engine, ns, query, filters, count, metric, method);
}

ZolvaResult<std::vector<SearchHit>> exact_dense_candidates(StorageEngine& engine,
                                                           std::string_view ns,
                                                           std::span<const float> query,
                                                           const FieldMap& filters,
                                                           uint64_t count, DistanceMetric metric) {
  return exact_route(engine, ns, query, filters, count, metric, std::nullopt);
}

}  // namespace zv::search
