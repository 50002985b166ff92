// The ScaNN-style quantised index: every f32 vector stored as one byte per
// component between per-component bounds; a search scores every entry from
// its codes, keeps the best top_k x rerank factor and re-scores those from
// their dequantised values. Built whole by the index's ScaNN cache through a
// Builder (bounds from every vector first, codes after, so every code is
// relative to the final bounds); never persisted. Immutable once built;
// searches may run on many threads at once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/foundation/error.h"
#include "src/index/scored_candidate.h"
#include "src/runtime/filter_bitset.h"
#include "src/vector/distance_metric.h"
#include "src/vector/vector_repr.h"

namespace zv {

inline constexpr const char* kScannField = "vec_data";
inline constexpr const char* kScannNotFullMessage =
    "ScannIndex::add only accepts full vectors (ERR-031)";
inline constexpr const char* kScannDimMessage =
    "ScannIndex::add vector dim {} != index dim {} (ERR-031)";

class ScannIndex {
 public:
  // Candidates re-scored per requested result by the index's cache.
  static constexpr uint64_t kDefaultRerank = 10;

  class Builder {
   public:
    Builder(uint64_t rerank_factor, DistanceMetric metric)
        : rerank_(rerank_factor), metric_(metric) {}
    // Stages one vector. Only owned f32 vectors are accepted; the first one
    // fixes the dimension, and a later non-empty vector of another length is
    // refused (Validation on "vec_data"); a refused vector changes nothing.
    ZolvaResult<void> add(NodeId id, const FilterBitset& filter, const VectorRepr& vector,
                          uint64_t storage_offset);
    // Quantises every staged vector with the final bounds.
    ScannIndex finish() &&;

   private:
    struct Staged {
      NodeId id;
      FilterBitset filter;
      std::vector<float> values;
      uint64_t storage_offset;
    };
    uint64_t rerank_;
    DistanceMetric metric_;
    std::vector<Staged> staged_;
    std::vector<float> min_;
    std::vector<float> max_;
    uint64_t dim_ = 0;
    bool bounds_initialized_ = false;
  };

  // Up to top_k (id, score) pairs, best first; Euclidean scores are negated
  // squared distances. Entries that fail the filter or whose length differs
  // from the query's are skipped.
  std::vector<ScoredCandidate> search(std::span<const float> query, const FilterBitset& filter,
                                      uint64_t top_k) const;

  uint64_t size() const { return ids_.size(); }
  uint64_t dim() const { return dim_; }
  const std::vector<float>& min_bound() const { return min_; }
  const std::vector<float>& max_bound() const { return max_; }
  // The codes of entry i (empty for an empty vector).
  std::span<const uint8_t> codes(size_t i) const;
  NodeId id(size_t i) const { return ids_[i]; }
  uint64_t storage_offset(size_t i) const { return offsets_[i]; }
  // Component j of entry i as the search sees it.
  float dequantized(size_t i, size_t j) const;

 private:
  ScannIndex() = default;
  float rescore(size_t i, std::span<const float> query, float query_norm) const;

  uint64_t rerank_ = kDefaultRerank;
  DistanceMetric metric_ = DistanceMetric::kCosine;
  uint64_t dim_ = 0;
  std::vector<float> min_;
  std::vector<float> max_;
  std::vector<NodeId> ids_;
  std::vector<FilterBitset> filters_;
  std::vector<float> norms_;        // of each vector as it was added
  std::vector<uint64_t> offsets_;
  std::vector<uint8_t> lens_;       // 1 when the entry has dim codes, 0 when empty
  std::vector<uint8_t> code_data_;  // dim codes per entry, entry-major
};

}  // namespace zv
