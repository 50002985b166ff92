#include "src/index/flat_scan.h"

#include <cmath>

#include "src/vector/kernel_call.h"
#include "src/vector/score.h"

namespace zv {

FlatScan::FlatScan(const HnswIndex& index, std::span<const float> query,
                   const FilterBitset& filter, DistanceMetric metric)
    : index_(index),
      query_(query),
      filter_(filter),
      metric_(metric),
      unfiltered_(filter.is_unfiltered()),
      end_slot_(index.table_.slot_count()) {
  if (metric == DistanceMetric::kCosine && !query_.empty()) {
    const float n = std::sqrt(kern::dot_norm(query_, query_).second);
    if (n > kNormEpsilon) inv_query_norm_ = 1.0f / n;
  }
}

std::optional<ScoredCandidate> FlatScan::candidate_next() {
  while (next_slot_ < end_slot_) {
    NodeSlot& slot = index_.table_.at(next_slot_++);
    SharedSpinGuard g(slot.record_lock);
    if (!slot.has_record) continue;
    const HnswNode& r = slot.record;
    if (r.deleted()) continue;
    if (!unfiltered_ && !FilterBitset::matches(r.filter, filter_)) continue;
    if (r.vector.is_none()) continue;
    std::optional<float> score;
    const std::optional<F32View> owned = r.own_f32();
    if (metric_ == DistanceMetric::kCosine && owned && inv_query_norm_) {
      if (owned->size() != query_.size() || query_.empty()) continue;  // cannot be compared
      score = r.inv_norm < kNormEpsilon
                  ? 0.0f
                  : r.inv_norm * (*inv_query_norm_ * kern::dot(query_, *owned));
    } else {
      score = alternate::try_score_vector(query_, {}, r.vector, metric_);
    }
    if (!score) continue;
    return ScoredCandidate{slot.id, *score};
  }
  return std::nullopt;
}

}  // namespace zv
