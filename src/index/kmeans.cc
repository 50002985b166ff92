#include "src/index/kmeans.h"

#include <cmath>
#include <limits>

#include "src/index/chacha_rng.h"
#include "src/vector/kernel_call.h"

namespace zv {
namespace {

// The fixed key of the training generator ("zolva ivf k-means seed, fixed!!").
constexpr std::array<uint8_t, 32> kKMeansSeed = {
    'z', 'o', 'l', 'v', 'a', ' ', 'i', 'v', 'f', ' ', 'k', '-', 'm', 'e', 'a', 'n',
    's', ' ', 's', 'e', 'e', 'd', ',', ' ', 'f', 'i', 'x', 'e', 'd', '!', '!', '!'};

// A uniform draw from 0..=bound (rejection sampling, no modulo bias).
uint64_t uniform_upto(ChaCha12Rng& rng, uint64_t bound) {
  if (bound == std::numeric_limits<uint64_t>::max()) return rng.next_u64();
  const uint64_t range = bound + 1;
  const uint64_t limit = std::numeric_limits<uint64_t>::max() - std::numeric_limits<uint64_t>::max() % range;
  for (;;) {
    const uint64_t x = rng.next_u64();
    if (x < limit) return x % range;
  }
}

float norm_of(F32View v) {
  return v.empty() ? 0.0f : std::sqrt(kern::dot_norm(v, v).second);
}

// Score with the two norms already known (|v| = a, |w| = b).
float score_with_norms(F32View v, float a, F32View w, float b, DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::kEuclidean: return -kern::l2_squared(v, w);
    case DistanceMetric::kCosine:
      if (v.empty() || v.size() != w.size() || a < kNormEpsilon || b < kNormEpsilon) return 0.0f;
      return kern::dot(v, w) / (a * b);
    case DistanceMetric::kSparseDot: return 0.0f;
  }
  return 0.0f;
}

float shift_between(const std::vector<float>& a, const std::vector<float>& b,
                    DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::kCosine: {
      const size_t n = std::min(a.size(), b.size());
      double s = 0;
      for (size_t i = 0; i < n; ++i) s += double(a[i] - b[i]) * double(a[i] - b[i]);
      return static_cast<float>(std::sqrt(s));
    }
    case DistanceMetric::kEuclidean: return std::sqrt(kern::l2_squared(a, b));
    case DistanceMetric::kSparseDot: return 0.0f;
  }
  return 0.0f;
}

}  // namespace

float ivf_score(F32View v, F32View w, DistanceMetric metric) {
  return ivf_score(v, metric == DistanceMetric::kCosine ? norm_of(v) : 0.0f, w, metric);
}

float ivf_score(F32View v, float a, F32View w, DistanceMetric metric) {
  if (metric != DistanceMetric::kCosine) return score_with_norms(v, 0, w, 0, metric);
  if (v.empty() || v.size() != w.size()) return 0.0f;
  if (a < kNormEpsilon) return 0.0f;
  const auto [dot, s] = kern::dot_norm(v, w);
  const float b = std::sqrt(s);
  if (b < kNormEpsilon) return 0.0f;
  return dot / (a * b);
}

KMeansResult train_kmeans(std::span<const F32View> points, size_t d, uint64_t k,
                          DistanceMetric metric) {
  KMeansResult out;
  const size_t n = points.size();
  if (n == 0) return out;
  const size_t c = static_cast<size_t>(std::min<uint64_t>(k == 0 ? 1 : k, n));
  ChaCha12Rng rng(kKMeansSeed);

  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  for (size_t i = 0; i < n; ++i) std::swap(order[i], order[uniform_upto(rng, i)]);
  std::vector<std::vector<float>> centroids(c);
  for (size_t j = 0; j < c; ++j) centroids[j] = points[order[j]].to_vector();

  std::vector<float> point_norm(n, 0.0f);
  if (metric == DistanceMetric::kCosine)
    for (size_t i = 0; i < n; ++i) point_norm[i] = norm_of(points[i]);

  std::vector<uint32_t> assign(n, 0);
  std::vector<float> centroid_norm(c, 0.0f);
  std::vector<double> sums;
  std::vector<uint64_t> counts;
  for (int pass = 0; pass < kKMeansMaxPasses; ++pass) {
    out.passes = pass + 1;
    if (metric == DistanceMetric::kCosine)
      for (size_t j = 0; j < c; ++j) centroid_norm[j] = norm_of(centroids[j]);
    uint64_t changed = 0;
    for (size_t i = 0; i < n; ++i) {
      float best = -std::numeric_limits<float>::infinity();
      uint32_t best_j = 0;
      for (size_t j = 0; j < c; ++j) {
        const float s = score_with_norms(points[i], point_norm[i], centroids[j],
                                         centroid_norm[j], metric);
        if (s > best) {  // strictly higher; NaN never wins
          best = s;
          best_j = static_cast<uint32_t>(j);
        }
      }
      if (assign[i] != best_j) ++changed;
      assign[i] = best_j;
    }
    sums.assign(c * d, 0.0);
    counts.assign(c, 0);
    for (size_t i = 0; i < n; ++i) {
      double* sum = &sums[assign[i] * d];
      const F32View p = points[i];
      for (size_t x = 0; x < d; ++x) sum[x] += p[x];
      ++counts[assign[i]];
    }
    float max_shift = 0.0f;
    for (size_t j = 0; j < c; ++j) {
      std::vector<float> next;
      if (counts[j] > 0) {
        next.resize(d);
        const double inv = 1.0 / static_cast<double>(counts[j]);
        for (size_t x = 0; x < d; ++x) next[x] = static_cast<float>(sums[j * d + x] * inv);
      } else {
        next = points[uniform_upto(rng, n - 1)].to_vector();
      }
      max_shift = std::max(max_shift, shift_between(centroids[j], next, metric));
      centroids[j] = std::move(next);
    }
    if (changed == 0 && max_shift < kKMeansTolerance) break;
  }
  out.centroids = std::move(centroids);
  out.assignment = std::move(assign);
  return out;
}

}  // namespace zv
