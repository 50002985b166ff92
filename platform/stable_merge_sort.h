// A stable merge sort that stays well defined for any comparator, including
// one that is not a strict weak order (scores with NaN): it only ever asks
// "does the right element go before the left one", so it always terminates,
// never reads out of bounds and gives the same order for the same input.
// Elements are moved, never copied. Not thread-safe on one range.
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

namespace zv {

// Sorts v so that an element moves before an earlier one only when
// before(later, earlier) holds at a merge; equal elements keep their order.
template <class T, class Before>
void stable_merge_sort(std::vector<T>& v, Before before) {
  const size_t n = v.size();
  if (n < 2) return;
  // Short runs by insertion: the element moves left past its neighbours only
  // while it strictly goes before them.
  constexpr size_t kRun = 16;
  for (size_t lo = 0; lo < n; lo += kRun) {
    const size_t hi = lo + kRun < n ? lo + kRun : n;
    for (size_t i = lo + 1; i < hi; ++i) {
      size_t j = i;
      if (!before(v[j], v[j - 1])) continue;
      T tmp = std::move(v[j]);
      do {
        v[j] = std::move(v[j - 1]);
        --j;
      } while (j > lo && before(tmp, v[j - 1]));
      v[j] = std::move(tmp);
    }
  }
  if (n <= kRun) return;
  std::vector<T> buf;
  buf.reserve(n);
  for (size_t width = kRun; width < n; width *= 2) {
    buf.clear();
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      const size_t mid = lo + width < n ? lo + width : n;
      const size_t hi = lo + 2 * width < n ? lo + 2 * width : n;
      size_t a = lo, b = mid;
      while (a < mid && b < hi) {
        if (before(v[b], v[a])) {
          buf.push_back(std::move(v[b++]));
        } else {
          buf.push_back(std::move(v[a++]));
        }
      }
      while (a < mid) buf.push_back(std::move(v[a++]));
      while (b < hi) buf.push_back(std::move(v[b++]));
    }
    v.swap(buf);
  }
}

}  // namespace zv
