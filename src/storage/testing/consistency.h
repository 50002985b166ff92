// Consistency check of an engine's three places of a node: every node record
// in partition 0 has an index entry whose storage offset names a live store
// record of the same id, every index entry has a node record, and the node
// reads back. Returns the disagreements found (empty: consistent).
// Test-only; run while no writer is active.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"

namespace zv::testing {

inline std::vector<std::string> engine_disagreements(StorageEngine& e) {
  std::vector<std::string> out;
  auto index = e.vector_index();
  auto records = e.backend->scan_all(Partition::kDefault);
  if (!records.ok()) return {"partition 0 scan failed: " + records.error().message()};
  std::unordered_set<NodeId, NodeIdHash> stored;
  for (const KvPair& p : *records) {
    auto id = node_id_from_key(p.key);
    if (!id) {
      out.push_back("malformed key in partition 0");
      continue;
    }
    stored.insert(*id);
    const std::string name = node_id_to_string(*id);
    auto off = index->storage_offset(*id);
    if (!off) {
      out.push_back(name + ": in partition 0, not in the index");
      continue;
    }
    const uint64_t seg = *off & kSegmentMask;
    if (seg >= e.segments.size()) {
      out.push_back(name + ": offset names a missing segment");
      continue;
    }
    auto h = e.segments[seg]->file.node_header_at(*off & ~kSegmentMask);
    if (!h || h->node_id != *id || h->deleted())
      out.push_back(name + ": index offset does not name a live record of the node");
    auto r = e.read_stored_node(*id);
    if (!r.ok() || !*r) out.push_back(name + ": does not read back");
  }
  for (NodeId id : index->node_ids())
    if (!stored.count(id)) out.push_back(node_id_to_string(id) + ": in the index only");
  return out;
}

}  // namespace zv::testing
