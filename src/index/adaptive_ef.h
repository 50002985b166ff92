// The process-wide adaptive search width: 50 at start; the search pipeline
// reports each vector search's outcome and the nearest search reads the value
// when an index enables adaptive width. Lock-free; safe from any thread.
#pragma once

#include <cstdint>

namespace zv {

inline constexpr uint64_t kAdaptiveEfStart = 50;
inline constexpr uint64_t kAdaptiveEfMin = 10;
inline constexpr uint64_t kAdaptiveEfMax = 2000;

uint64_t adaptive_ef();
// After a search that found results: counts it and, when the count before it
// was a non-zero multiple of 10, halves the width (not below 10). After a
// search that found nothing: widens by half (not above 2000) and resets the
// count.
void record_adaptive_search(bool found_results);
// Back to the start value (tests).
void reset_adaptive_ef();

}  // namespace zv
