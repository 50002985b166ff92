// The distance metric of a vector index and of a search request, with the text
// form it prints as in messages. Used by scoring, the index and its callers.
// Plain value; safe to share.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zv {

enum class DistanceMetric : uint8_t {
  kCosine = 0,
  kEuclidean = 1,
  kSparseDot = 2,
};

inline constexpr std::string_view kMetricCosineName = "Cosine";
inline constexpr std::string_view kMetricEuclideanName = "Euclidean";
inline constexpr std::string_view kMetricSparseDotName = "SparseDot";

// "Cosine", "Euclidean" or "SparseDot".
std::string_view metric_name(DistanceMetric m);

// The metric stored as byte b, or none for an unknown byte.
std::optional<DistanceMetric> metric_from_byte(uint8_t b);

// The f32 machine epsilon (2^-23): the threshold under which a norm counts as
// zero in every scoring path.
inline constexpr float kNormEpsilon = 1.1920929e-7f;

}  // namespace zv
