// The storage behind the graph's maps. Every node id the index meets (a node,
// a neighbour in a list, an entry point) is interned once into a slot with a
// stable address and a 32-bit handle; the slot holds the id's node record
// (the node map entry), its layer-map lists, its layer count and its
// reverse-link count. Neighbour lists hold slot handles, so walking the graph
// needs no id lookup. The table also keeps the slots' search views (a dense
// copy of each record's layer-0 list and owned f32 values that searches read
// without a lock). Thread-safe: interning takes a shard lock; each slot's
// record and lists have their own reader-writer locks (see NodeSlot).
#pragma once

#include <array>
#include <bit>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/index/rw_spin_lock.h"
#include "src/index/search_view.h"
#include "src/index/slot_list.h"
#include "src/runtime/filter_bitset.h"
#include "src/vector/vector_repr.h"

namespace zv {

inline constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

// A hash of node ids for unordered containers (ids are already hashes, so
// mixing the halves suffices).
struct NodeIdHash {
  size_t operator()(NodeId id) const noexcept {
    const uint64_t lo = node_id_low(id), hi = node_id_high(id);
    return static_cast<size_t>((lo ^ (hi * 0x9E3779B97F4A7C15ull)) * 0xD6E8FEB86659FD93ull >> 7);
  }
};

// A node record: the value of the node map. Its neighbour lists are the
// slot's layer-map lists (NodeSlot::links), held once.
struct HnswNode {
  VectorRepr vector;
  float inv_norm = 0.0f;  // 1/|v| or 0
  float sq_norm = 0.0f;   // |v|^2 or 0
  uint32_t flags = 0;     // bit 3: deleted
  // The f32 values were handed to the search view: `vector` is a region of
  // the view's block rather than a copy of its own.
  bool values_in_view = false;
  uint64_t storage_offset = 0;
  FilterBitset filter;
  NodeId id = 0;

  static constexpr uint32_t kDeletedFlag = 1u << 3;
  bool deleted() const { return (flags & kDeletedFlag) != 0; }
  // The vector in the form it was given: values held by the view come back
  // as an owned f32 vector.
  VectorRepr given_vector() const {
    if (!values_in_view) return vector;
    auto v = vector.as_f32_slice();
    return v ? VectorRepr::f32(v->to_vector()) : VectorRepr::none();
  }
  // Owned f32 values, or values the view holds for it.
  std::optional<F32View> own_f32() const {
    if (vector.kind() != VectorKind::kF32 && !values_in_view) return std::nullopt;
    return vector.as_f32_slice();
  }
};

struct NodeSlot {
  RwSpinLock record_lock;   // guards has_record and record
  bool has_record = false;
  HnswNode record;
  // The arena that mirrors records for lock-free searches, and this slot's
  // handle in it (both set before the slot is published).
  SearchViews* views = nullptr;
  uint32_t handle = 0;

  // Brings the slot's search view in line with the record, and lets the
  // record's owned f32 values go in favour of the view's identical copy;
  // callers hold record_lock exclusively and call it after every change of
  // the record (presence, deleted flag, vector or norms).
  void refresh_hint() {
    views->refresh(handle, view_source());
    if (!has_record || record.values_in_view) return;
    const std::vector<float>* own = record.vector.as_f32();
    if (!own) return;
    auto region = views->borrow_values(handle);
    if (!region || region->byte_len() != own->size() * sizeof(float)) return;
    record.vector = VectorRepr::mmap_full(std::move(region));
    record.values_in_view = true;
  }

  SearchViews::Source view_source() const {
    SearchViews::Source src;
    src.has_record = has_record;
    if (has_record) {
      src.deleted = record.deleted();
      // Owned values only: mapped ones stay on their mapping (copying them
      // would bring a file-backed index whole into memory).
      if (auto v = record.own_f32()) {
        src.values = v->bytes();
        src.dim = v->size();
        src.inv_norm = record.inv_norm;
        src.sq_norm = record.sq_norm;
      }
    }
    return src;
  }

  RwSpinLock links_lock;    // guards links and list0_in_view
  // The layer-map entries of this id: links[l] is the list of (id, l), or
  // none when the layer map has no such entry.
  std::vector<std::optional<SlotList>> links;
  // The entries of links[0] are held by the search view alone (which the
  // bottom-layer search reads without a lock); links[0] is then an empty
  // list without heap bytes. A list too long for the view stays in links[0].
  bool list0_in_view = false;

  bool has_list(uint64_t l) const { return l < links.size() && links[l].has_value(); }
  // The list of an existing entry (caller holds links_lock); entries the
  // view holds are copied into `scratch`, which is then returned.
  const SlotList& list_at(uint64_t l, SlotList& scratch) const {
    if (l != 0 || !list0_in_view) return *links[l];
    thread_local std::vector<uint32_t> entries;
    views->copy_list(handle, entries);
    scratch.assign(entries.data(), static_cast<uint32_t>(entries.size()));
    return scratch;
  }
  // Writes the entry of layer l (caller holds links_lock exclusively, and
  // no record lock: a layer-0 list is handed to the view under it).
  void set_list(uint64_t l, const SlotList& list) {
    if (links.size() < l + 1) links.resize(l + 1);
    if (l == 0) {
      bool held;
      {
        ExclusiveSpinGuard rg(record_lock);
        held = views->refresh_list(handle, list.data(), list.size());
      }
      list0_in_view = held;
      if (held) {
        links[0] = SlotList();
        return;
      }
    }
    if (!links[l]) {
      links[l] = list;
    } else if (&*links[l] != &list) {
      *links[l] = list;
    }
  }

  // The layer-count map entry: number of layers, 0 when there is none.
  std::atomic<uint64_t> layer_count{0};
  // The reverse-link count map entry: lists holding this id, 0 when none.
  std::atomic<uint32_t> reverse_count{0};
  // Layer-0 lists holding this id. Pruning drops an id from a layer-0 list
  // only while another layer-0 list still holds it, so that no node that was
  // linked is cut off from the bottom layer.
  std::atomic<uint32_t> layer0_in{0};

  NodeId id = 0;  // written before the slot is published, then read-only
};

// Heap bytes a slot's layer-map entries hold (caller holds links_lock).
inline int64_t links_heap_bytes(const NodeSlot& slot) {
  int64_t b = static_cast<int64_t>(slot.links.capacity() * sizeof(std::optional<SlotList>));
  for (const auto& l : slot.links)
    if (l) b += int64_t{l->capacity()} * static_cast<int64_t>(sizeof(uint32_t));
  return b;
}
// Heap bytes a node record holds (caller holds the slot's record_lock).
inline int64_t record_heap_bytes(const HnswNode& r) {
  return static_cast<int64_t>(r.vector.payload_bytes() +
                              r.filter.words().capacity() * sizeof(uint64_t));
}

// Keeping the counts of an id when a list on `layer` gains or loses it.
inline void count_link(NodeSlot& n, uint64_t layer) {
  n.reverse_count.fetch_add(1, std::memory_order_acq_rel);
  if (layer == 0) n.layer0_in.fetch_add(1, std::memory_order_acq_rel);
}
// Lowers a count by one, not below 0.
inline void count_down(std::atomic<uint32_t>& c) {
  uint32_t v = c.load(std::memory_order_relaxed);
  while (v > 0 && !c.compare_exchange_weak(v, v - 1, std::memory_order_acq_rel)) {
  }
}
// Lowers a count that is above 1; false (and no change) when it is 0 or 1.
inline bool count_down_above_one(std::atomic<uint32_t>& c) {
  uint32_t v = c.load(std::memory_order_relaxed);
  while (v > 1) {
    if (c.compare_exchange_weak(v, v - 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}
inline void count_unlink(NodeSlot& n, uint64_t layer) {
  count_down(n.reverse_count);
  if (layer == 0) count_down(n.layer0_in);
}
// Unlinks unless this is the id's last list on the layer (layer 0: its last
// layer-0 list; above: its last list of any layer); false when it must stay.
inline bool try_unlink_keeping_last(NodeSlot& n, uint64_t layer) {
  if (layer == 0) {
    if (!count_down_above_one(n.layer0_in)) return false;
    count_down(n.reverse_count);
    return true;
  }
  return count_down_above_one(n.reverse_count);
}

class NodeTable {
 public:
  // Layer-0 lists up to `list0_capacity` entries are mirrored for searches.
  explicit NodeTable(uint32_t list0_capacity = kDefaultList0Capacity);
  ~NodeTable();
  static constexpr uint32_t kDefaultList0Capacity = 128;
  NodeTable(const NodeTable&) = delete;
  NodeTable& operator=(const NodeTable&) = delete;

  // The slot of `id`, created when the id is new.
  uint32_t intern(NodeId id);
  std::optional<uint32_t> find(NodeId id) const;
  // The slot with handle `s`; s must be below slot_count().
  NodeSlot& at(uint32_t s) const {
    const uint64_t i = uint64_t{s} + kFirstChunk;
    const int k = std::bit_width(i) - 1 - kFirstChunkBits;
    NodeSlot* chunk = chunks_[k].load(std::memory_order_acquire);
    return chunk[i - (uint64_t{1} << (k + kFirstChunkBits))];
  }
  NodeId id_of(uint32_t s) const { return at(s).id; }
  // The search views of the slots.
  const SearchViews& views() const { return views_; }
  // Bytes the table itself holds for its slots: the constructed slots and
  // their id-map entries (hash node and bucket, as the allocator sizes them).
  static constexpr uint64_t kIdMapEntryBytes = 80;
  uint64_t table_bytes() const {
    const uint32_t slots = slot_count();
    return uint64_t{slots} * (sizeof(NodeSlot) + kIdMapEntryBytes) + views_.used_bytes(slots);
  }
  // Slots published so far; every handle below it is valid.
  uint32_t slot_count() const { return count_.load(std::memory_order_acquire); }

 private:
  static constexpr int kFirstChunkBits = 10;
  static constexpr uint64_t kFirstChunk = uint64_t{1} << kFirstChunkBits;
  static constexpr int kChunks = 33 - kFirstChunkBits;  // covers 2^32 slots
  static constexpr size_t kShards = 64;

  using IdHash = NodeIdHash;
  struct Shard {
    mutable std::shared_mutex mu;  // guards map
    std::unordered_map<NodeId, uint32_t, IdHash> map;
  };
  Shard& shard_of(NodeId id) const { return shards_[IdHash{}(id) % kShards]; }

  mutable std::array<Shard, kShards> shards_;
  // Chunks are raw storage whose slots are constructed one by one as they are
  // published, so that the pages of a chunk's unused tail are never touched.
  struct ChunkFree {
    void operator()(NodeSlot* p) const;
  };
  std::mutex grow_mu_;  // guards owned_ and slot construction
  std::array<std::unique_ptr<NodeSlot, ChunkFree>, kChunks> owned_;
  std::array<std::atomic<NodeSlot*>, kChunks> chunks_;
  std::atomic<uint32_t> count_{0};
  SearchViews views_;
};

}  // namespace zv
