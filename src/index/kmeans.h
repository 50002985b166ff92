// Seeded k-means over f32 points of one dimension: the clustering behind the
// IVF index. The same points in the same order always give the same centroids
// and assignment (a ChaCha12 generator with a fixed key drives the initial
// choice and the re-seeding of empty clusters). Runs on the calling thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/vector/distance_metric.h"
#include "src/vector/f32_view.h"

namespace zv {

inline constexpr int kKMeansMaxPasses = 20;
// Training stops once no assignment changed and no centroid moved this far.
inline constexpr float kKMeansTolerance = 1e-4f;

struct KMeansResult {
  std::vector<std::vector<float>> centroids;  // k of them, each of length d
  std::vector<uint32_t> assignment;            // centroid index of each point
  int passes = 0;
};

// Score of v against w as the IVF index ranks them: negated squared distance
// (Euclidean), cosine similarity (0 when either norm is below epsilon or the
// lengths differ), or 0 (SparseDot).
float ivf_score(F32View v, F32View w, DistanceMetric metric);
// The same with |v| already known (v_norm), for scoring one query many times.
float ivf_score(F32View v, float v_norm, F32View w, DistanceMetric metric);

// Clusters `points` (every one of length d > 0) into min(k, n) centroids
// (k 0 counts as 1). No points gives no centroids.
KMeansResult train_kmeans(std::span<const F32View> points, size_t d, uint64_t k,
                          DistanceMetric metric);

}  // namespace zv
