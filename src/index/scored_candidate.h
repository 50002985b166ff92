// A search candidate (node id and score, larger is better) and its total
// order: the larger score first by the IEEE total order (+0 before -0), every
// NaN after every number, equal scores by ascending id. Every search sorts its
// results by it. Plain value.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "src/foundation/node_id.h"

namespace zv {

struct ScoredCandidate {
  NodeId id = 0;
  float score = 0.0f;
  bool operator==(const ScoredCandidate&) const = default;
};

// A key that orders f32 values by the IEEE total order as unsigned integers.
inline uint32_t total_order_key(float f) {
  const uint32_t b = std::bit_cast<uint32_t>(f);
  return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}

// Whether score a ranks strictly before score b, ignoring ids: numbers by the
// total order, NaN last. Equal keys (and two NaNs) rank neither way.
inline bool score_before(float a, float b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return !na && nb;
  return total_order_key(a) > total_order_key(b);
}

// True when a is better than b.
inline bool better(const ScoredCandidate& a, const ScoredCandidate& b) {
  if (score_before(a.score, b.score)) return true;
  if (score_before(b.score, a.score)) return false;
  return a.id < b.id;
}

// Comparator that sorts best first.
struct BestFirst {
  bool operator()(const ScoredCandidate& a, const ScoredCandidate& b) const {
    return better(a, b);
  }
};

}  // namespace zv
