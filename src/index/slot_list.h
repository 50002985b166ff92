// An ordered list of node slots (the graph's internal 32-bit handles of node
// ids), held in one exactly grown heap block: 16 bytes when empty, so that
// nodes with many layers, and files that claim them, cost little. The graph's
// neighbour lists are stored as SlotLists. Plain value; the owner guards it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace zv {

class SlotList {
 public:
  SlotList() = default;
  SlotList(const SlotList& o) { assign(o.data(), o.size()); }
  SlotList& operator=(const SlotList& o) {
    if (this != &o) assign(o.data(), o.size());
    return *this;
  }
  SlotList(SlotList&& o) noexcept
      : data_(std::move(o.data_)), size_(o.size_), cap_(o.cap_) {
    o.size_ = 0;
    o.cap_ = 0;
  }
  SlotList& operator=(SlotList&& o) noexcept {
    if (this != &o) {
      data_ = std::move(o.data_);
      size_ = o.size_;
      cap_ = o.cap_;
      o.size_ = 0;
      o.cap_ = 0;
    }
    return *this;
  }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The entries allocated for (the list's heap bytes are 4 per entry).
  uint32_t capacity() const { return cap_; }
  const uint32_t* data() const { return data_.get(); }
  uint32_t* data() { return data_.get(); }
  uint32_t operator[](uint32_t i) const { return data_[i]; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }

  void clear() { size_ = 0; }
  void push_back(uint32_t v) {
    if (size_ == cap_) grow(std::max<uint32_t>(size_ + 1, cap_ + cap_ / 2));
    data_[size_++] = v;
  }
  void assign(const uint32_t* src, uint32_t n) {
    if (n > cap_) {
      size_ = 0;
      grow(n);
    }
    if (n) std::memmove(data(), src, n * sizeof(uint32_t));
    size_ = n;
  }
  void truncate(uint32_t n) { size_ = std::min(size_, n); }
  bool contains(uint32_t v) const { return std::find(begin(), end(), v) != end(); }
  bool operator==(const SlotList& o) const {
    return size_ == o.size_ && std::equal(begin(), end(), o.begin());
  }

 private:
  void grow(uint32_t cap) {
    auto fresh = std::make_unique_for_overwrite<uint32_t[]>(cap);
    if (size_) std::memcpy(fresh.get(), data_.get(), size_ * sizeof(uint32_t));
    data_ = std::move(fresh);
    cap_ = cap;
  }

  std::unique_ptr<uint32_t[]> data_;
  uint32_t size_ = 0;
  uint32_t cap_ = 0;
};

}  // namespace zv
