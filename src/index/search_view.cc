#include "src/index/search_view.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/panic.h"

namespace zv {
namespace {

constexpr size_t kLine = 64;
size_t round_up(size_t n) { return (n + kLine - 1) / kLine * kLine; }

}  // namespace


SearchViews::SearchViews(uint32_t list_capacity) : list_capacity_(list_capacity) {
  for (auto& c : chunks_) c.store(nullptr, std::memory_order_relaxed);
}

SearchViews::~SearchViews() = default;

SearchViews::Header* SearchViews::block_for_write(uint32_t s, size_t dim) {
  if (const Header* h = header(s)) return const_cast<Header*>(h);
  std::scoped_lock lock(grow_mu_);
  if (dim_.load(std::memory_order_relaxed) == 0) {
    if (dim == 0) return nullptr;
    values_offset_ = (sizeof(Header) + 31) / 32 * 32;
    list_offset_ = values_offset_ + dim * sizeof(float);
    stride_ = round_up(list_offset_ + size_t{list_capacity_} * sizeof(uint32_t));
    dim_.store(dim, std::memory_order_release);
  }
  const uint64_t i = uint64_t{s} + kFirstChunk;
  const int k = std::bit_width(i) - 1 - kFirstChunkBits;
  if (!owned_[k]) {
    const size_t blocks = size_t{1} << (k + kFirstChunkBits);
    const size_t bytes = blocks * stride_;
    // Zeroed by the allocator, not written: a large chunk comes from fresh
    // pages that stay unbacked until a block on them is first written, so
    // that the unused tail of the last chunk costs no memory. All-zero bytes
    // are a block's initial state (lock-free atomics hold just their value).
    void* raw = std::calloc(bytes + kLine, 1);
    ZV_CHECK(raw != nullptr, "vector index search views: out of memory");
    std::shared_ptr<void> owner(raw, [](void* p) { std::free(p); });
    const uintptr_t at = (reinterpret_cast<uintptr_t>(raw) + kLine - 1) / kLine * kLine;
    owned_[k] = std::shared_ptr<std::byte>(owner, reinterpret_cast<std::byte*>(at));
    allocated_.fetch_add(bytes, std::memory_order_acq_rel);
    chunks_[k].store(owned_[k].get(), std::memory_order_release);
  }
  return const_cast<Header*>(header(s));
}

void SearchViews::write_list(Header* h, const uint32_t* list, uint32_t n) {
  auto* entries = const_cast<std::atomic<uint32_t>*>(this->list(h));
  if (h->count.load(std::memory_order_relaxed) == n) {
    bool same = true;
    for (uint32_t i = 0; i < n && same; ++i)
      same = entries[i].load(std::memory_order_relaxed) == list[i];
    if (same) return;
  }
  const uint32_t seq = h->seq.load(std::memory_order_relaxed);
  h->seq.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (uint32_t i = 0; i < n; ++i) entries[i].store(list[i], std::memory_order_relaxed);
  h->count.store(n, std::memory_order_relaxed);
  h->seq.store(seq + 2, std::memory_order_release);
}

void SearchViews::refresh(uint32_t s, const Source& src) {
  const size_t want_dim = src.values ? src.dim : 0;
  Header* h = block_for_write(s, want_dim);
  if (!h) return;  // no values seen yet: searches read the records
  const uint32_t st = h->state.load(std::memory_order_relaxed);
  uint32_t next = st & (kValues | kStale);
  const bool live = src.has_record && !src.deleted;
  if (live) next |= kLive;
  if (src.has_record) next |= kRecord;
  const size_t dim = dim_.load(std::memory_order_relaxed);
  const bool fits = src.values && src.dim == dim;
  if (!(st & kValues)) {
    if (fits && !(st & kStale)) {
      std::memcpy(const_cast<float*>(values(h)), src.values, dim * sizeof(float));
      h->inv_norm = src.inv_norm;
      h->sq_norm = src.sq_norm;
      next |= kValues;
    }
  } else if (src.has_record && !(st & kStale)) {
    // Published values are never rewritten (readers hold no lock); a record
    // that no longer has exactly them is scored from the record from now on.
    const bool same = fits && h->inv_norm == src.inv_norm && h->sq_norm == src.sq_norm &&
                      std::memcmp(values(h), src.values, dim * sizeof(float)) == 0;
    if (!same) next |= kStale;
  }
  next |= st & kList;
  h->state.store(next, std::memory_order_release);
}

bool SearchViews::refresh_list(uint32_t s, const uint32_t* list, uint32_t n) {
  Header* h = block_for_write(s, 0);
  if (!h) return false;  // no values seen yet: the lists stay in the layer map
  uint32_t next = h->state.load(std::memory_order_relaxed) & ~kList;
  const bool held = n <= list_capacity_;
  if (held) {
    write_list(h, list, n);
    next |= kList;
  }
  h->state.store(next, std::memory_order_release);
  return held;
}

std::optional<MappedVector> SearchViews::borrow_values(uint32_t s) const {
  const Header* h = header(s);
  if (!h) return std::nullopt;
  const uint32_t st = h->state.load(std::memory_order_acquire);
  if ((st & (kValues | kStale)) != kValues) return std::nullopt;
  const uint64_t i = uint64_t{s} + kFirstChunk;
  const int k = std::bit_width(i) - 1 - kFirstChunkBits;
  const auto* v = reinterpret_cast<const unsigned char*>(values(h));
  return MappedVector(std::shared_ptr<const void>(owned_[k], v), v, dim() * sizeof(float));
}

bool SearchViews::read_list(const Header* h, std::vector<uint32_t>& out) const {
  if (!(h->state.load(std::memory_order_acquire) & kList)) return false;
  const std::atomic<uint32_t>* entries = list(h);
  for (;;) {
    const uint32_t seq = h->seq.load(std::memory_order_acquire);
    if (seq & 1) {
      __builtin_ia32_pause();
      continue;
    }
    const uint32_t n = std::min(h->count.load(std::memory_order_relaxed), list_capacity_);
    out.resize(n);
    for (uint32_t i = 0; i < n; ++i) out[i] = entries[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (h->seq.load(std::memory_order_relaxed) == seq) return true;
  }
}

}  // namespace zv
