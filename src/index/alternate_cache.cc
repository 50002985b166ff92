// The IVF and ScaNN-style caches of the index: built over the node records on
// the first search that needs them, rebuilt whenever the index's mutation
// count has moved since the build, searched under the cache's mutex.
#include <cmath>

#include "platform/log.h"
#include "src/index/hnsw_index.h"
#include "src/index/ivf_index.h"
#include "src/index/scann_index.h"
#include "src/index/working_dimension.h"

namespace zv {
namespace {

constexpr const char* kLogTarget = "zolva::index::cache";
constexpr const char* kScannAddRejected = "scann rebuild: add rejected";

}  // namespace

void HnswIndex::drop_missing(NearestResult& result) const {
  std::erase_if(result, [this](const ScoredCandidate& c) { return !contains(c.id); });
}

NearestResult HnswIndex::ivf_cache_search(std::span<const float> query,
                                          const FilterBitset& query_mask,
                                          uint64_t top_k) const {
  std::scoped_lock lock(ivf_mu_);
  // Read before the walk: a change that lands during the build leaves the
  // cache stale for the next search.
  const uint64_t stamp = mutation_count();
  if (!ivf_.index || ivf_.built_at != stamp) {
    std::vector<IvfEntry> entries;
    const uint32_t n = table_.slot_count();
    for (uint32_t s = 0; s < n; ++s) {
      NodeSlot& slot = table_.at(s);
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record || slot.record.deleted()) continue;
      auto view = slot.record.vector.as_f32_slice();
      if (!view) continue;
      entries.push_back({slot.id, slot.record.filter, view->to_vector()});
    }
    const uint64_t nodes = entries.size();
    const uint64_t nlist =
        nodes == 0 ? 1 : static_cast<uint64_t>(std::sqrt(static_cast<double>(nodes))) + 1;
    ivf_.index = std::make_unique<IvfIndex>(
        IvfIndex::build(std::move(entries), nlist, IvfIndex::kDefaultNprobe, config_.metric));
    ivf_.built_at = stamp;
  }
  NearestResult out = ivf_.index->search(query, top_k, query_mask);
  drop_missing(out);
  return out;
}

NearestResult HnswIndex::scann_cache_search(std::span<const float> query,
                                            const FilterBitset& query_mask,
                                            uint64_t top_k) const {
  std::scoped_lock lock(scann_mu_);
  // Its entries hold storage offsets: an offset change makes it stale too.
  const uint64_t stamp = mutation_count() + offset_changes_.load(std::memory_order_acquire);
  if (!scann_.index || scann_.built_at != stamp) {
    ScannIndex::Builder builder(ScannIndex::kDefaultRerank, config_.metric);
    const uint32_t n = table_.slot_count();
    // The builder fixes its dimension on the first vector: it is given the
    // vectors of the most common length only (the others are not comparable
    // with most queries anyway).
    std::vector<size_t> lengths;
    for (uint32_t s = 0; s < n; ++s) {
      NodeSlot& slot = table_.at(s);
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record || slot.record.deleted()) continue;
      if (const auto v = slot.record.own_f32()) lengths.push_back(v->size());
    }
    const size_t dim = most_common_length(lengths);
    for (uint32_t s = 0; s < n; ++s) {
      NodeSlot& slot = table_.at(s);
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record || slot.record.deleted()) continue;
      const auto v = slot.record.own_f32();
      if (!v || v->size() != dim || dim == 0) continue;
      auto r = builder.add(slot.id, slot.record.filter, slot.record.given_vector(),
                           slot.record.storage_offset);
      if (!r.ok()) {
        ZV_WARN(kLogTarget, kScannAddRejected, {"message", kScannAddRejected},
                {"node_id", node_id_to_string(slot.id)}, {"error", r.error().message()});
      }
    }
    scann_.index = std::make_unique<ScannIndex>(std::move(builder).finish());
    scann_.built_at = stamp;
  }
  NearestResult out = scann_.index->search(query, query_mask, top_k);
  drop_missing(out);
  return out;
}

}  // namespace zv
