// An ordered list of node slots (the graph's internal 32-bit handles of node
// ids) that keeps up to 32 entries inline and moves to the heap beyond. The
// graph's neighbour lists are stored as SlotLists. Plain value; the owner
// guards it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace zv {

class SlotList {
 public:
  static constexpr uint32_t kInline = 32;

  SlotList() = default;
  SlotList(const SlotList& o) { assign(o.data(), o.size()); }
  SlotList& operator=(const SlotList& o) {
    if (this != &o) assign(o.data(), o.size());
    return *this;
  }
  SlotList(SlotList&& o) noexcept { steal(o); }
  SlotList& operator=(SlotList&& o) noexcept {
    if (this != &o) {
      heap_.reset();
      steal(o);
    }
    return *this;
  }

  uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const uint32_t* data() const { return heap_ ? heap_.get() : inline_; }
  uint32_t* data() { return heap_ ? heap_.get() : inline_; }
  uint32_t operator[](uint32_t i) const { return data()[i]; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }

  void clear() { size_ = 0; }
  void push_back(uint32_t v) {
    if (size_ == capacity()) grow(size_ + 1);
    data()[size_++] = v;
  }
  void assign(const uint32_t* src, uint32_t n) {
    if (n > capacity()) {
      size_ = 0;
      heap_.reset();
      heap_cap_ = 0;
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
  uint32_t capacity() const { return heap_ ? heap_cap_ : kInline; }
  void grow(uint32_t need) {
    uint32_t cap = std::max(need, capacity() * 2);
    auto fresh = std::make_unique<uint32_t[]>(cap);
    if (size_) std::memcpy(fresh.get(), data(), size_ * sizeof(uint32_t));
    heap_ = std::move(fresh);
    heap_cap_ = cap;
  }
  void steal(SlotList& o) {
    size_ = o.size_;
    if (o.heap_) {
      heap_ = std::move(o.heap_);
      heap_cap_ = o.heap_cap_;
    } else {
      heap_cap_ = 0;
      std::memcpy(inline_, o.inline_, size_ * sizeof(uint32_t));
    }
    o.size_ = 0;
    o.heap_cap_ = 0;
  }

  uint32_t size_ = 0;
  uint32_t heap_cap_ = 0;
  std::unique_ptr<uint32_t[]> heap_;
  uint32_t inline_[kInline];
};

}  // namespace zv
