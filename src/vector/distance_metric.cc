#include "src/vector/distance_metric.h"

namespace zv {

std::string_view metric_name(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::kCosine: return kMetricCosineName;
    case DistanceMetric::kEuclidean: return kMetricEuclideanName;
    case DistanceMetric::kSparseDot: return kMetricSparseDotName;
  }
  return "Unknown";
}

std::optional<DistanceMetric> metric_from_byte(uint8_t b) {
  if (b > static_cast<uint8_t>(DistanceMetric::kSparseDot)) return std::nullopt;
  return static_cast<DistanceMetric>(b);
}

}  // namespace zv
