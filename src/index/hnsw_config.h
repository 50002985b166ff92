// The configuration of one vector index and the index-kind byte that selects
// the default search method. Fixed for the life of an index except the flat
// threshold. Plain values.
#pragma once

#include <cstdint>
#include <optional>

#include "src/vector/distance_metric.h"

namespace zv {

enum class IndexKind : uint8_t {
  kHnsw = 0,
  kIvf = 1,
  kFlat = 2,
  kDiskAnn = 3,
  kScann = 4,
  kNone = 5,
};

// Limits of a configuration and of a node's level: values beyond them make
// inserts or searches loop or allocate without bound, so an index refuses
// them when they are set and its file reader treats them as corruption.
inline constexpr double kMaxPlausibleMl = 4.0;
inline constexpr uint64_t kMaxPlausibleLevel = 256;
inline constexpr uint64_t kMaxPlausibleM = 1u << 16;
inline constexpr uint64_t kMaxPlausibleEf = 1u << 20;

struct HnswConfig {
  // Up to this many nodes the nearest search scans every node.
  std::optional<uint64_t> flat_threshold = 10000;
  uint64_t m = 32;                // neighbours kept on layers above 0
  uint64_t m_max0 = 64;           // neighbours kept on layer 0
  uint64_t ef_construction = 100; // result-set size of insertion searches
  uint64_t ef_search = 100;       // result-set size of the bottom-layer query search
  double ml = 0.28853900817779266;  // 1 / ln 32
  bool adaptive_ef = false;         // widen ef_search by the process-wide adaptive value
  DistanceMetric metric = DistanceMetric::kCosine;
  uint8_t index_type = static_cast<uint8_t>(IndexKind::kHnsw);

  bool operator==(const HnswConfig&) const = default;
};

}  // namespace zv
