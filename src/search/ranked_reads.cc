#include "src/search/ranked_reads.h"

#include <algorithm>
#include <unordered_map>

#include "src/record/memory_record.h"
#include "src/record/validation.h"
#include "src/search/hit_order.h"

namespace zv::search {
namespace {

using NodesById = std::unordered_map<NodeId, const EngineNode*, NodeIdHash>;

NodesById index_nodes(const std::vector<EngineNode>& nodes) {
  NodesById by_id;
  by_id.reserve(nodes.size());
  for (const EngineNode& n : nodes) by_id.emplace(n.id, &n);
  return by_id;
}

}  // namespace

std::optional<SearchHit> hit_of(const EngineNode& node, std::string_view ns,
                                const FieldMap& filters, float score) {
  std::optional<MemoryRecord> record = MemoryRecord::from_node(node, /*exclude_expired=*/true);
  if (!record || record->ns != ns) return std::nullopt;
  if (!matches_equality_filters(record->metadata, filters)) return std::nullopt;
  return SearchHit{std::move(*record), std::nullopt, score};
}

namespace {

// A strict total order when no score is NaN: node ids are distinct.
bool ranks_before(const RankedCandidate& a, const RankedCandidate& b) {
  if (a.score != b.score) return a.score > b.score;
  if (a.key != b.key) return a.key < b.key;
  return a.id < b.id;
}

}  // namespace

void rank_candidates(std::vector<RankedCandidate>& order) {
  std::sort(order.begin(), order.end(), ranks_before);
}

void rank_prefix(std::vector<RankedCandidate>& order, size_t prefix) {
  std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(prefix), order.end(),
                    ranks_before);
}

ZolvaResult<std::optional<std::vector<SearchHit>>> read_in_order(
    StorageEngine& engine, std::string_view ns, const FieldMap& filters, uint64_t limit,
    std::span<const RankedCandidate> order, uint64_t first_batch, bool check_keys) {
  std::vector<SearchHit> hits;
  size_t next = 0;
  uint64_t batch = std::max<uint64_t>(1, first_batch);
  std::vector<NodeId> ids;
  while (hits.size() < limit && next < order.size()) {
    const size_t end = next + static_cast<size_t>(std::min<uint64_t>(batch, order.size() - next));
    ids.clear();
    for (size_t i = next; i < end; ++i) ids.push_back(order[i].id);
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.get_many(ids));
    const NodesById by_id = index_nodes(nodes);
    for (size_t i = next; i < end && hits.size() < limit; ++i) {
      auto it = by_id.find(order[i].id);
      if (it == by_id.end()) continue;
      std::optional<SearchHit> hit = hit_of(*it->second, ns, filters, order[i].score);
      if (!hit) continue;
      if (check_keys && hit->record.key != order[i].key) return std::nullopt;
      hits.push_back(std::move(*hit));
    }
    next = end;
    batch = batch > (uint64_t{1} << 40) ? batch : batch * 2;
  }
  return std::optional<std::vector<SearchHit>>(std::move(hits));
}

ZolvaResult<std::optional<std::vector<SearchHit>>> rank_and_read(
    StorageEngine& engine, std::string_view ns, const FieldMap& filters, uint64_t limit,
    std::vector<RankedCandidate>& order) {
  const uint64_t first = std::max<uint64_t>(16, limit);
  const size_t prefix = static_cast<size_t>(std::min<uint64_t>(order.size(), 4 * first));
  rank_prefix(order, prefix);
  ZV_ASSIGN_OR_RETURN(std::optional<std::vector<SearchHit>> ranked,
                      read_in_order(engine, ns, filters, limit, std::span(order).first(prefix),
                                    first, /*check_keys=*/true));
  if (ranked && ranked->size() < limit && prefix < order.size()) {
    rank_candidates(order);
    ZV_ASSIGN_OR_RETURN(ranked, read_in_order(engine, ns, filters, limit, order, first,
                                              /*check_keys=*/true));
  }
  return ranked;
}

ZolvaResult<std::vector<SearchHit>> read_all_then_rank(
    StorageEngine& engine, std::string_view ns, const FieldMap& filters, uint64_t limit,
    std::span<const std::pair<NodeId, float>> scored) {
  std::vector<NodeId> ids;
  ids.reserve(scored.size());
  for (const auto& [id, score] : scored) ids.push_back(id);
  ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.get_many(ids));
  const NodesById by_id = index_nodes(nodes);
  std::vector<SearchHit> hits;
  for (const auto& [id, score] : scored) {
    auto it = by_id.find(id);
    if (it == by_id.end()) continue;
    if (auto hit = hit_of(*it->second, ns, filters, score)) hits.push_back(std::move(*hit));
  }
  sort_hits(hits);
  if (hits.size() > limit) hits.resize(limit);
  return hits;
}

void record_hits_access(StorageEngine& engine, const std::vector<SearchHit>& hits) {
  if (hits.size() < 2) return;
  std::vector<NodeId> ids;
  ids.reserve(hits.size());
  for (const SearchHit& h : hits) ids.push_back(h.record.node_id);
  engine.cache_warmer.record_access(ids);
}

}  // namespace zv::search
