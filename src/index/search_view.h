// The graph's per-slot search views: one fixed-size block per slot in a dense,
// chunked arena, holding a copy of the node's own layer-0 list and of its f32
// values side by side, so that an unfiltered in-memory search walks the bottom
// layer without a lock and without touching the node record. Written only by
// the holder of the slot's record lock (one writer per slot at a time); read
// by any thread without a lock: the list is a sequence-locked array of
// atomics, and the values are written once, before they are published, and
// never rewritten (a record whose values change later is no longer served
// from its view).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "src/vector/mapped_vector.h"

namespace zv {

class SearchViews {
 public:
  static constexpr uint32_t kLive = 1u;    // the slot has a record that is not deleted
  static constexpr uint32_t kValues = 2u;  // values and norms are published
  static constexpr uint32_t kStale = 4u;   // the record's values differ from them since
  static constexpr uint32_t kList = 8u;    // the block holds the record's layer-0 list
  static constexpr uint32_t kRecord = 16u; // the slot has a record (deleted or not)

  struct Header {
    std::atomic<uint32_t> seq{0};    // odd while the list is being rewritten
    std::atomic<uint32_t> state{0};  // the k* bits above
    std::atomic<uint32_t> count{0};  // entries of the list
    float inv_norm = 0.0f;           // the record's cached norms, written with the values
    float sq_norm = 0.0f;
  };

  // What a slot's record holds, as the view mirrors it.
  struct Source {
    bool has_record = false;
    bool deleted = false;
    const void* values = nullptr;  // the record's f32 values (any alignment), or null
    size_t dim = 0;
    float inv_norm = 0.0f;
    float sq_norm = 0.0f;
  };

  // Lists longer than `list_capacity` are not held (searches read them from
  // the record instead).
  explicit SearchViews(uint32_t list_capacity);
  ~SearchViews();
  SearchViews(const SearchViews&) = delete;
  SearchViews& operator=(const SearchViews&) = delete;

  // Brings slot s's view in line with its record (presence, values and
  // norms; the list is left as it is). The caller holds the slot's record
  // lock exclusively.
  void refresh(uint32_t s, const Source& src);
  // Holds the slot's layer-0 list, which the caller holds exclusively
  // (list lock and record lock); false (and no list held) when the list is
  // beyond the capacity or no block can exist yet.
  bool refresh_list(uint32_t s, const uint32_t* list, uint32_t n);
  // The list slot s's block holds (caller holds the list lock, so that no
  // writer runs); empty when it holds none.
  void copy_list(uint32_t s, std::vector<uint32_t>& out) const {
    const Header* h = header(s);
    if (!h || !read_list(h, out)) out.clear();
  }
  // The published values of slot s as a region that keeps their block
  // alive, when they are current; a record whose values are exactly these
  // holds this region instead of a copy. The caller holds the record lock.
  std::optional<MappedVector> borrow_values(uint32_t s) const;

  // The block of slot s, or null when it has none yet.
  const Header* header(uint32_t s) const {
    const uint64_t i = uint64_t{s} + kFirstChunk;
    const int k = std::bit_width(i) - 1 - kFirstChunkBits;
    const std::byte* chunk = chunks_[k].load(std::memory_order_acquire);
    if (!chunk) return nullptr;
    return reinterpret_cast<const Header*>(chunk +
                                           (i - (uint64_t{1} << (k + kFirstChunkBits))) * stride_);
  }
  // The length of the values every block holds; 0 until the first record
  // with f32 values was seen. Blocks exist only once it is set.
  size_t dim() const { return dim_.load(std::memory_order_acquire); }
  // The values of a block (valid to read once its state has kValues).
  const float* values(const Header* h) const {
    return reinterpret_cast<const float*>(reinterpret_cast<const std::byte*>(h) + values_offset_);
  }
  const std::atomic<uint32_t>* list(const Header* h) const {
    return reinterpret_cast<const std::atomic<uint32_t>*>(reinterpret_cast<const std::byte*>(h) +
                                                          list_offset_);
  }
  // The values of slot s with the norms its record caches, when its record
  // exists and holds exactly them (deleted records included); false when the
  // record must be read instead.
  bool current_values(uint32_t s, const float*& values, float& inv_norm, float& sq_norm) const {
    const Header* h = header(s);
    if (!h) return false;
    const uint32_t st = h->state.load(std::memory_order_acquire);
    if ((st & (kRecord | kValues | kStale)) != (kRecord | kValues)) return false;
    values = this->values(h);
    inv_norm = h->inv_norm;
    sq_norm = h->sq_norm;
    return true;
  }
  // Copies the block's list into out; false (out untouched) when the block
  // holds none.
  bool read_list(const Header* h, std::vector<uint32_t>& out) const;
  // Where a block's list starts (the header and the values lie before it,
  // so that scoring a node reads one contiguous run of bytes).
  size_t list_offset() const { return list_offset_; }
  // Bytes of the blocks allocated so far (whole chunks).
  uint64_t allocated_bytes() const { return allocated_.load(std::memory_order_acquire); }
  // Bytes of the blocks of the first `slots` slots, the ones written (a
  // chunk's pages are backed only as its blocks are written).
  uint64_t used_bytes(uint32_t slots) const {
    if (dim() == 0) return 0;
    return std::min<uint64_t>(allocated_bytes(), uint64_t{slots} * stride_);
  }
  size_t values_offset() const { return values_offset_; }

 private:
  static constexpr int kFirstChunkBits = 10;
  static constexpr uint64_t kFirstChunk = uint64_t{1} << kFirstChunkBits;
  static constexpr int kChunks = 33 - kFirstChunkBits;  // covers 2^32 slots

  Header* block_for_write(uint32_t s, size_t dim);
  void write_list(Header* h, const uint32_t* list, uint32_t n);

  const uint32_t list_capacity_;
  // Fixed by the first record with values (before any block exists).
  std::atomic<size_t> dim_{0};
  size_t values_offset_ = 0;
  size_t list_offset_ = 0;
  size_t stride_ = 0;
  std::atomic<uint64_t> allocated_{0};
  std::mutex grow_mu_;  // guards owned_, dim_ setting and chunk construction
  // Shared, so that a record's values borrowed from a block (and copies of
  // them handed out) stay valid whatever outlives what.
  std::array<std::shared_ptr<std::byte>, kChunks> owned_;
  std::array<std::atomic<std::byte*>, kChunks> chunks_;
};

}  // namespace zv
