// The immutable shared byte string that carries every key and value of the
// tree. Up to 20 bytes live inside the handle; longer contents live in one
// reference-counted heap buffer shared by every copy and sub-range. Handles
// are values; copies may be used from any thread (the count is atomic).
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tervik {

class Slice {
 public:
  static constexpr size_t kInlineCapacity = 20;
  static constexpr size_t kMaxLength = 0xFFFF'FFFFu;

  Slice() noexcept : len_(0), bytes_{} {}
  Slice(const void* data, size_t n);
  explicit Slice(std::string_view bytes) : Slice(bytes.data(), bytes.size()) {}

  // Builds a slice of n bytes written by fill(uint8_t* dst) in place, so that
  // decoders assemble keys without a second copy.
  template <class Fill>
  static Slice build(size_t n, Fill&& fill) {
    Slice s;
    uint8_t* dst = s.allocate(n);
    fill(dst);
    s.finish_build();
    return s;
  }

  // Copies and moves are inline: every entry passes through several read
  // adapters by value, so these run a few times per entry scanned.
  Slice(const Slice& other) noexcept : len_(other.len_) {
    copy_bytes(other);
    if (!is_inline()) heap()->refs.fetch_add(1, std::memory_order_relaxed);
  }
  Slice(Slice&& other) noexcept : len_(other.len_) {
    copy_bytes(other);
    other.len_ = 0;
  }
  Slice& operator=(const Slice& other) noexcept;
  Slice& operator=(Slice&& other) noexcept {
    if (this == &other) return *this;
    release();
    len_ = other.len_;
    copy_bytes(other);
    other.len_ = 0;
    return *this;
  }
  ~Slice() { release(); }

 private:
  // Inlined into containers' moves, this copy can trip GCC's object-size
  // analysis into a false "region of size 0" warning; the buffer is always
  // whole here.
  void copy_bytes(const Slice& other) noexcept {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  }

 public:

  size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  bool is_inline() const { return len_ <= kInlineCapacity; }
  const uint8_t* data() const {
    if (is_inline()) return bytes_;
    const uint8_t* p;
    std::memcpy(&p, bytes_ + kPtrOffset, sizeof(p));
    return p;
  }
  std::string_view view() const {
    return {reinterpret_cast<const char*>(data()), len_};
  }
  uint8_t operator[](size_t i) const { return data()[i]; }

  // The bytes [offset, offset + n) sharing this slice's buffer; short
  // sub-ranges become inline. Out-of-range arguments are a fatal error.
  Slice sub(size_t offset, size_t n) const;

  // Unsigned lexicographic order, a proper prefix first.
  int compare(const Slice& other) const {
    return compare_bytes(other.data(), other.len_, other.bytes_);
  }
  int compare(std::string_view other) const;
  bool operator==(const Slice& other) const {
    return len_ == other.len_ &&
           std::memcmp(bytes_, other.bytes_, len_ < 4 ? len_ : 4) == 0 &&
           std::memcmp(data(), other.data(), len_) == 0;
  }
  bool operator==(std::string_view other) const { return view() == other; }
  std::strong_ordering operator<=>(const Slice& other) const {
    int c = compare(other);
    return c < 0 ? std::strong_ordering::less
                 : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
  }
  bool starts_with(std::string_view prefix) const { return view().starts_with(prefix); }

  // Slice([104, 105])
  std::string debug_string() const;

 private:
  struct Heap {
    std::atomic<uint64_t> refs;
    // followed by the bytes
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
  };
  static constexpr size_t kPtrOffset = 4;   // bytes_[4..12): data pointer
  static constexpr size_t kHeapOffset = 12; // bytes_[12..20): heap buffer

  Heap* heap() const {
    Heap* h;
    std::memcpy(&h, bytes_ + kHeapOffset, sizeof(h));
    return h;
  }
  void set_external(const uint8_t* p, Heap* h) {
    std::memcpy(bytes_ + kPtrOffset, &p, sizeof(p));
    std::memcpy(bytes_ + kHeapOffset, &h, sizeof(h));
  }
  uint8_t* allocate(size_t n);
  void finish_build();
  void release() noexcept {
    if (!is_inline()) release_heap();
  }
  // Drops this handle's reference to its heap buffer.
  void release_heap() noexcept;
  int compare_bytes(const uint8_t* other, size_t other_len, const uint8_t* other_head) const;

  // Inline: the contents. External: the first four bytes, then the data
  // pointer and the heap buffer (copied in and out with memcpy).
  uint32_t len_;
  uint8_t bytes_[kInlineCapacity];
};

static_assert(sizeof(Slice) == 24);

using UserKey = Slice;
using UserValue = Slice;

}  // namespace tervik
