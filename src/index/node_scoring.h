// How the graph scores one node record against a query: from the cached norms
// of the record where the metric allows, from the vector store through a
// DiskNodeReader when one is given, and through alternate::try_score_vector
// otherwise. None means the pair cannot be compared and the node is skipped.
// Pure functions over a record the caller holds locked.
#pragma once

#include <algorithm>
#include <optional>

#include "src/index/disk_node_reader.h"
#include "src/index/hnsw_index.h"
#include "src/vector/kernel_call.h"
#include "src/vector/score.h"

namespace zv {

// Scores f32 values v, of the query's (non-zero) length, from a record's
// cached norms; false when the metric or the norms need the record's general
// path. score_record and the lock-free search both score through it, so that
// they give the same bits.
inline bool score_f32_cached(const LayerQuery& qp, F32View v, float inv_norm, float sq_norm,
                             DistanceMetric metric, float& out) {
  switch (metric) {
    case DistanceMetric::kCosine:
      if (!qp.cosine || !(inv_norm > kNormEpsilon)) return false;
      out = qp.inv_norm < kNormEpsilon ? 0.0f : inv_norm * (qp.inv_norm * kern::dot(qp.q, v));
      return true;
    case DistanceMetric::kEuclidean:
      if (qp.has_norm && sq_norm > kNormEpsilon) {
        const float d = qp.norm * qp.norm + sq_norm - 2.0f * kern::dot(qp.q, v);
        out = -std::max(0.0f, d);
      } else {
        out = -kern::l2_squared(qp.q, v);
      }
      return true;
    case DistanceMetric::kSparseDot:
      return false;
  }
  return false;
}

// The score of record r, or none when it cannot be compared with the query.
std::optional<float> score_record(const LayerQuery& qp, const HnswNode& r,
                                  DistanceMetric metric);

// What the layer search makes of a node given a vector-store reader.
struct StoreScore {
  bool skip = false;           // no header, or the store marks the node deleted
  std::optional<float> score;  // none: cannot be compared
};

// Scores r from the vector store when its header names f32 values that lie in
// the store (read in place, aligned or not); from the record otherwise.
StoreScore score_with_store(const LayerQuery& qp, const HnswNode& r,
                            const DiskNodeReader& reader, DistanceMetric metric);

}  // namespace zv
