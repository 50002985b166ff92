// The working dimension of an alternative index built over node vectors of
// possibly mixed lengths: the length most vectors have, so that one stray
// vector cannot empty the index for all the others. Plain function.
#pragma once

#include <cstddef>
#include <span>
#include <unordered_map>

namespace zv {

// The most common non-zero length (ties: the one reached first), or 0 when
// every length is 0.
inline size_t most_common_length(std::span<const size_t> lengths) {
  std::unordered_map<size_t, size_t> counts;
  size_t best = 0, best_count = 0;
  for (size_t len : lengths) {
    if (len == 0) continue;
    const size_t c = ++counts[len];
    if (c > best_count) {
      best = len;
      best_count = c;
    }
  }
  return best;
}

}  // namespace zv
