// Scoring of an f32 query against one stored vector of any form: the routine
// every search path falls back on when it cannot use its cached-norm fast
// path. Larger scores are better: cosine similarity, or the negated squared
// Euclidean distance. Pure functions, allocation-free, safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "src/vector/distance_metric.h"
#include "src/vector/f32_view.h"
#include "src/vector/vector_repr.h"

namespace zv::alternate {

// A query in the 4-bit form, with its scale.
struct TurboQuery {
  std::span<const uint8_t> bytes;
  float scale = 1.0f;
};

// The optional parts of a query beside its f32 values.
struct QueryForms {
  std::optional<float> norm{};                        // precomputed |q|
  std::optional<std::span<const uint64_t>> binary{};  // bit-code query
  std::optional<TurboQuery> turbo{};                  // 4-bit query
};

// The score of `stored` against the query, or none when the two cannot be
// compared: no vector, a bit or 4-bit code without the matching query form, a
// mapped vector without a view, or values of another length than the query
// (or no values at all). Search paths skip a pair that has no score, so an
// incomparable vector is never ranked.
std::optional<float> try_score_vector(F32View query, const QueryForms& forms,
                                      const VectorRepr& stored,
                                      DistanceMetric metric);

// try_score_vector with 0 in place of "cannot be compared".
float score_vector(F32View query, const QueryForms& forms,
                   const VectorRepr& stored, DistanceMetric metric);

}  // namespace zv::alternate
