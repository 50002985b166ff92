#include "src/index/node_table.h"

#include <cstdlib>
#include <new>

#include "platform/panic.h"

namespace zv {

NodeTable::NodeTable(uint32_t list0_capacity) : views_(list0_capacity) {
  for (auto& c : chunks_) c.store(nullptr, std::memory_order_relaxed);
}

NodeTable::~NodeTable() {
  const uint32_t n = count_.load(std::memory_order_acquire);
  for (uint32_t s = 0; s < n; ++s) at(s).~NodeSlot();
}

void NodeTable::ChunkFree::operator()(NodeSlot* p) const { std::free(p); }

std::optional<uint32_t> NodeTable::find(NodeId id) const {
  Shard& sh = shard_of(id);
  std::shared_lock lock(sh.mu);
  auto it = sh.map.find(id);
  if (it == sh.map.end()) return std::nullopt;
  return it->second;
}

uint32_t NodeTable::intern(NodeId id) {
  Shard& sh = shard_of(id);
  {
    std::shared_lock lock(sh.mu);
    auto it = sh.map.find(id);
    if (it != sh.map.end()) return it->second;
  }
  std::unique_lock lock(sh.mu);
  auto it = sh.map.find(id);
  if (it != sh.map.end()) return it->second;
  uint32_t s;
  {
    std::scoped_lock grow(grow_mu_);
    s = count_.load(std::memory_order_relaxed);
    ZV_CHECK(s != kNoSlot, "vector index slot table is full");
    const uint64_t i = uint64_t{s} + kFirstChunk;
    const int k = std::bit_width(i) - 1 - kFirstChunkBits;
    if (!owned_[k]) {
      const size_t size = size_t{1} << (k + kFirstChunkBits);
      // malloc, not calloc: large blocks come from fresh mappings whose
      // pages stay unbacked until a slot is constructed on them.
      void* raw = std::malloc(size * sizeof(NodeSlot));
      ZV_CHECK(raw != nullptr, "vector index slot table: out of memory");
      owned_[k].reset(static_cast<NodeSlot*>(raw));
      chunks_[k].store(owned_[k].get(), std::memory_order_release);
    }
    NodeSlot* slot = new (owned_[k].get() + (i - (uint64_t{1} << (k + kFirstChunkBits)))) NodeSlot;
    slot->views = &views_;
    slot->handle = s;
    slot->id = id;
    count_.store(s + 1, std::memory_order_release);
  }
  sh.map.emplace(id, s);
  return s;
}

}  // namespace zv
