// How the graph scores one node record against a query: from the cached norms
// of the record where the metric allows, from the vector store through a
// DiskNodeReader when one is given, and through alternate::try_score_vector
// otherwise. None means the pair cannot be compared and the node is skipped.
// Pure functions over a record the caller holds locked.
#pragma once

#include <optional>

#include "src/index/disk_node_reader.h"
#include "src/index/hnsw_index.h"

namespace zv {

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
