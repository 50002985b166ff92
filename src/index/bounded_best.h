// The best k of a stream of items under a strict total order: a heap whose
// top is the worst item kept, so an item that cannot enter costs one
// comparison. Gives what sorting every item and keeping the first k gives.
// Plain value; one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zv {

template <class T, class Better>
class BoundedBest {
 public:
  BoundedBest(size_t k, Better better = Better{}) : k_(k), better_(better) {
    heap_.reserve(k_ < kReserveCap ? k_ : kReserveCap);
  }

  void push(const T& item) {
    if (heap_.size() < k_) {
      heap_.push_back(item);
      std::push_heap(heap_.begin(), heap_.end(), better_);
    } else if (k_ != 0 && better_(item, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), better_);
      heap_.back() = item;
      std::push_heap(heap_.begin(), heap_.end(), better_);
    }
  }

  // The worst item kept once k are kept (what a new item must beat); none
  // before.
  const T* worst() const { return k_ != 0 && heap_.size() == k_ ? &heap_.front() : nullptr; }

  // The kept items, best first.
  std::vector<T> take_sorted() && {
    std::sort_heap(heap_.begin(), heap_.end(), better_);
    return std::move(heap_);
  }

 private:
  // A caller's k may be far beyond what the stream holds.
  static constexpr size_t kReserveCap = 4096;
  size_t k_;
  Better better_;
  std::vector<T> heap_;
};

}  // namespace zv
