// Small helpers for the index tests: building indexes from literal vectors
// and reading results as id lists. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "src/index/hnsw_index.h"

namespace zv::testing {

inline HnswConfig euclidean_config(std::optional<uint64_t> flat_threshold = std::nullopt) {
  HnswConfig c;
  c.metric = DistanceMetric::kEuclidean;
  c.flat_threshold = flat_threshold;
  return c;
}

inline std::unique_ptr<HnswIndex> make_index(HnswConfig cfg) {
  return std::make_unique<HnswIndex>(cfg, IndexBacking::in_memory());
}

// Adds id with an owned f32 vector at `level`; fails the test on an error.
inline void add_at(HnswIndex& index, NodeId id, std::vector<float> v, uint64_t level = 0,
                   FilterBitset bits = FilterBitset()) {
  auto r = index.add_at_level(id, bits, VectorRepr::f32(std::move(v)), uint64_t(id), level);
  ASSERT_TRUE(r.ok()) << r.error().message();
}

inline std::vector<NodeId> ids_of(const NearestResult& r) {
  std::vector<NodeId> out;
  for (const auto& c : r) out.push_back(c.id);
  return out;
}

}  // namespace zv::testing
