#include "tervik/core/slice.h"

#include <algorithm>
#include <new>

#include "platform/panic.h"
#include "tervik/core/fatal.h"

namespace tervik {

uint8_t* Slice::allocate(size_t n) {
  if (n > kMaxLength) zv::panic(kFatalSliceTooLong);
  len_ = static_cast<uint32_t>(n);
  if (n <= kInlineCapacity) return bytes_;
  void* raw = ::operator new(sizeof(Heap) + n);
  Heap* h = ::new (raw) Heap{};
  h->refs.store(1, std::memory_order_relaxed);
  set_external(h->bytes(), h);
  return h->bytes();
}

void Slice::finish_build() {
  if (!is_inline()) std::memcpy(bytes_, data(), 4);
}

Slice::Slice(const void* src, size_t n) : len_(0), bytes_{} {
  uint8_t* dst = allocate(n);
  if (n) std::memcpy(dst, src, n);
  finish_build();
}

Slice& Slice::operator=(const Slice& other) noexcept {
  if (this == &other) return *this;
  if (!other.is_inline()) other.heap()->refs.fetch_add(1, std::memory_order_relaxed);
  release();
  len_ = other.len_;
  std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
  return *this;
}

void Slice::release_heap() noexcept {
  Heap* h = heap();
  if (h->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    h->~Heap();
    ::operator delete(static_cast<void*>(h));
  }
  len_ = 0;
}

Slice Slice::sub(size_t offset, size_t n) const {
  if (offset > len_ || n > len_ - offset) zv::panic(kFatalSliceRange);
  if (n <= kInlineCapacity) return Slice(data() + offset, n);
  Slice s;
  s.len_ = static_cast<uint32_t>(n);
  Heap* h = heap();
  h->refs.fetch_add(1, std::memory_order_relaxed);
  s.set_external(data() + offset, h);
  s.finish_build();
  return s;
}

int Slice::compare_bytes(const uint8_t* other, size_t other_len,
                         const uint8_t* other_head) const {
  // The first four bytes sit in the handle: most orders are decided there.
  size_t common = std::min<size_t>(len_, other_len);
  size_t head = std::min<size_t>(common, 4);
  int c = std::memcmp(bytes_, other_head, head);
  if (c == 0 && common > head) c = std::memcmp(data() + head, other + head, common - head);
  if (c != 0) return c < 0 ? -1 : 1;
  return len_ < other_len ? -1 : (len_ > other_len ? 1 : 0);
}

int Slice::compare(std::string_view other) const {
  int c = view().compare(other);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string Slice::debug_string() const {
  std::string out = "Slice([";
  const uint8_t* p = data();
  for (size_t i = 0; i < len_; ++i) {
    if (i) out += ", ";
    out += std::to_string(p[i]);
  }
  out += "])";
  return out;
}

}  // namespace tervik
