// PostingList: the ids listed under one scalar value, in the order added (an
// id may repeat). Removing an id removes every occurrence of it. A short list
// is a plain vector; a longer one also keeps, per id, a chain through the
// slots that hold it, so a removal costs the id's own occurrences and not the
// list's length. Removed slots stay vacant until they outnumber the live ones,
// then the list is compacted in order.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/index/node_table.h"

namespace zv {

class PostingList {
 public:
  void add(NodeId id);
  // Removes every occurrence of the id; an id not listed changes nothing.
  void remove(NodeId id);
  bool empty() const { return live_ == 0; }
  size_t size() const { return live_; }
  // The live ids in the order added.
  std::vector<NodeId> ids() const;

 private:
  // Lists up to this length stay plain vectors (most values are held by few
  // nodes, and a map per value would cost more than the scan).
  static constexpr size_t kChainedAbove = 16;
  static constexpr uint32_t kEnd = UINT32_MAX;
  static constexpr uint32_t kVacant = UINT32_MAX - 1;

  bool chained() const { return !next_.empty(); }
  void link(uint32_t pos);
  void build_chains();
  void compact();

  std::vector<NodeId> ids_;
  size_t live_ = 0;
  // When chained: per slot, the next slot holding the same id (kEnd) or
  // kVacant for a removed slot; per id, the first slot of its chain.
  std::vector<uint32_t> next_;
  std::unordered_map<NodeId, uint32_t, NodeIdHash> head_;
};

}  // namespace zv
