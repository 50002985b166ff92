// Synthetic vector sets for the index tests and benchmarks: clustered points
// around well-separated centres, and plain Gaussian points, from fixed seeds.
// Test-only helpers; plain functions.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace zv::testing {

// n points of `dim` values, row-major: `clusters` centres drawn N(0, 1) per
// value from `seed`, point i is centre i % clusters plus N(0, spread^2) noise
// drawn from `noise_seed`. The same seed with another noise seed gives more
// points (queries) around the same centres.
inline std::vector<float> clustered_vectors(size_t n, size_t dim, size_t clusters, float spread,
                                            uint64_t seed, uint64_t noise_seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> centres(clusters * dim);
  for (float& c : centres) c = unit(rng);
  std::mt19937_64 noise(noise_seed);
  std::vector<float> out(n * dim);
  for (size_t i = 0; i < n; ++i) {
    const size_t c = i % clusters;
    for (size_t d = 0; d < dim; ++d)
      out[i * dim + d] = centres[c * dim + d] + spread * unit(noise);
  }
  return out;
}

// n points of `dim` values drawn N(0, 1).
inline std::vector<float> gaussian_vectors(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> out(n * dim);
  for (float& v : out) v = unit(rng);
  return out;
}

}  // namespace zv::testing
