// A double-ended priority queue (min-max heap): push, and removal of a
// minimum or of a maximum item, each logarithmic in the items held. The merge
// iterator keeps the next entry of each source end in one. Single-threaded.
#pragma once

#include <bit>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace tervik {

// `Less` orders the items; among equal items no removal order is promised.
template <class T, class Less>
class MinMaxHeap {
 public:
  explicit MinMaxHeap(size_t capacity_hint = 0, Less less = Less()) : less_(std::move(less)) {
    items_.reserve(capacity_hint);
  }

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

  void push(T item) {
    items_.push_back(std::move(item));
    size_t i = items_.size() - 1;
    if (i == 0) return;
    size_t p = parent(i);
    if (on_min_level(i)) {
      if (less_(items_[p], items_[i])) {
        std::swap(items_[i], items_[p]);
        bubble_up(p, false);
      } else {
        bubble_up(i, true);
      }
    } else if (less_(items_[i], items_[p])) {
      std::swap(items_[i], items_[p]);
      bubble_up(p, true);
    } else {
      bubble_up(i, false);
    }
  }

  std::optional<T> pop_min() {
    if (items_.empty()) return std::nullopt;
    return remove_at(0, true);
  }

  std::optional<T> pop_max() {
    if (items_.empty()) return std::nullopt;
    size_t i = 0;
    if (items_.size() == 2) {
      i = 1;
    } else if (items_.size() > 2) {
      i = less_(items_[1], items_[2]) ? 2 : 1;
    }
    return remove_at(i, false);
  }

 private:
  static size_t parent(size_t i) { return (i - 1) / 2; }
  static bool on_min_level(size_t i) { return (std::bit_width(i + 1) - 1) % 2 == 0; }

  // `a` precedes `b` in the direction of the level kind.
  bool before(const T& a, const T& b, bool min) const { return min ? less_(a, b) : less_(b, a); }

  void bubble_up(size_t i, bool min) {
    while (i > 2) {
      size_t g = parent(parent(i));
      if (!before(items_[i], items_[g], min)) break;
      std::swap(items_[i], items_[g]);
      i = g;
    }
  }

  T remove_at(size_t i, bool min) {
    T out = std::move(items_[i]);
    if (i != items_.size() - 1) items_[i] = std::move(items_.back());
    items_.pop_back();
    if (i < items_.size()) trickle_down(i, min);
    return out;
  }

  void trickle_down(size_t i, bool min) {
    const size_t n = items_.size();
    for (;;) {
      size_t first_child = 2 * i + 1;
      if (first_child >= n) return;
      // The best of the children and grandchildren.
      size_t m = first_child;
      bool grandchild = false;
      auto consider = [&](size_t c, bool g) {
        if (c < n && before(items_[c], items_[m], min)) {
          m = c;
          grandchild = g;
        }
      };
      consider(first_child + 1, false);
      for (size_t gc = 2 * first_child + 1; gc < 2 * first_child + 5; ++gc) consider(gc, true);
      if (!before(items_[m], items_[i], min)) return;
      std::swap(items_[m], items_[i]);
      if (!grandchild) return;
      size_t p = parent(m);
      if (before(items_[p], items_[m], min)) std::swap(items_[m], items_[p]);
      i = m;
    }
  }

  std::vector<T> items_;
  Less less_;
};

}  // namespace tervik
