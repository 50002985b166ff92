// The inverted-file index: f32 vectors clustered by seeded k-means into lists,
// one per centroid; a query scores the centroids and scans only the entries of
// the best few lists. Built and searched by the index's IVF cache and carried
// in the index file as the IVF blob. Immutable once built; searches may run on
// many threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/index/scored_candidate.h"
#include "src/runtime/filter_bitset.h"
#include "src/vector/distance_metric.h"
#include "src/vector/f32_view.h"

namespace zv {

// One indexed vector: owned copies of the node's filter words and values.
struct IvfEntry {
  NodeId id = 0;
  FilterBitset filter;
  std::vector<float> vector;
  bool operator==(const IvfEntry&) const = default;
};

class IvfIndex {
 public:
  // How many lists a search of the index's cache scans.
  static constexpr uint64_t kDefaultNprobe = 10;

  // Clusters `entries` into min(nlist, n) lists (nlist 0 counts as 1). The
  // working dimension is the length of the first non-empty entry; entries of
  // any other length cannot be compared with the others and are left out.
  static IvfIndex build(std::vector<IvfEntry> entries, uint64_t nlist, uint64_t nprobe,
                        DistanceMetric metric);

  // Up to top_k (id, score) pairs, best first; Euclidean scores are negated
  // squared distances. Entries that fail the filter or whose length differs
  // from the query's are skipped.
  std::vector<ScoredCandidate> search(std::span<const float> query, uint64_t top_k,
                                      const FilterBitset& filter) const;

  // The blob of the index file: appends the persisted form to dst.
  void encode_to(std::string* dst) const;
  // Reads a blob; none when it is malformed (a count beyond the bytes left, a
  // bad filter bitset, an unknown metric byte, or a list count that is not
  // the centroid count).
  static std::optional<IvfIndex> decode(std::span<const uint8_t> data);

  const std::vector<std::vector<float>>& centroids() const { return centroids_; }
  const std::vector<std::vector<IvfEntry>>& lists() const { return lists_; }
  uint64_t nlist() const { return nlist_; }
  uint64_t nprobe() const { return nprobe_; }
  DistanceMetric metric() const { return metric_; }
  uint64_t entry_count() const;
  bool operator==(const IvfIndex&) const = default;

 private:
  std::vector<std::vector<float>> centroids_;
  std::vector<std::vector<IvfEntry>> lists_;  // lists_[i] belongs to centroids_[i]
  // For the scan: the values of list i back to back, when all its entries
  // have one common length (packed_dims_[i]; 0 when they do not), with the
  // norm of each entry (cosine), and the norms of the centroids.
  void pack();
  // Scores of the query against the centroids, in centroid order.
  std::vector<float> centroid_scores(F32View q, float qn) const;
  // Scores `count` rows of `d` values back to back against the query.
  void score_rows(F32View q, float qn, const float* rows, const float* norms, size_t count,
                  float* out) const;
  std::vector<std::vector<float>> packed_;
  std::vector<size_t> packed_dims_;
  std::vector<std::vector<float>> packed_norms_;
  std::vector<float> centroid_rows_;   // the centroids back to back when of one length
  std::vector<float> centroid_norms_;
  size_t centroid_dim_ = 0;            // that length; 0 when they differ
  uint64_t nlist_ = 0;
  uint64_t nprobe_ = kDefaultNprobe;
  DistanceMetric metric_ = DistanceMetric::kCosine;
};

}  // namespace zv
