// The exact scan behind the flat search: walks every node record of an index
// and yields, one at a time, each node that is live, passes the filter and
// can be compared with the query, with its score. Used by flat_search on the
// calling thread; takes one node's read lock at a time.
#pragma once

#include <optional>
#include <span>

#include "src/index/hnsw_index.h"

namespace zv {

class FlatScan {
 public:
  FlatScan(const HnswIndex& index, std::span<const float> query, const FilterBitset& filter,
           DistanceMetric metric);
  // The next passing node with its score, or none at the end.
  std::optional<ScoredCandidate> candidate_next();

 private:
  const HnswIndex& index_;
  F32View query_;
  const FilterBitset& filter_;
  DistanceMetric metric_;
  bool unfiltered_;
  std::optional<float> inv_query_norm_;  // cosine fast path
  uint32_t next_slot_ = 0;
  uint32_t end_slot_;
};

}  // namespace zv
