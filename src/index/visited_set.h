// The set of graph slots one search has reached, owned by its caller and
// reused across layers and searches. Marks are kept per slot with an epoch,
// so clearing is O(1) and no capacity is reserved from a search width (a
// caller-given width can be anything); the array grows with the slots the
// search actually meets. One search at a time; not shared between threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zv {

class VisitedSet {
 public:
  void clear() {
    if (count_ == 0) return;
    count_ = 0;
    if (++epoch_ == 0) {  // wrapped: forget every old mark
      std::fill(marks_.begin(), marks_.end(), 0);
      epoch_ = 1;
    }
  }
  // Makes room for slots below n without changing the contents.
  void reserve_slots(uint32_t n) {
    if (n > marks_.size()) marks_.resize(n, 0);
  }
  // Adds s; true when it was not in the set.
  bool insert(uint32_t s) {
    if (s >= marks_.size()) marks_.resize(std::max<size_t>(size_t{s} + 1, marks_.size() * 2), 0);
    if (marks_[s] == epoch_) return false;
    marks_[s] = epoch_;
    ++count_;
    return true;
  }
  bool contains(uint32_t s) const { return s < marks_.size() && marks_[s] == epoch_; }
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }

 private:
  std::vector<uint32_t> marks_;
  uint32_t epoch_ = 1;
  size_t count_ = 0;
};

}  // namespace zv
