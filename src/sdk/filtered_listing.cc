#include "src/sdk/filtered_listing.h"

#include <algorithm>
#include <unordered_set>

#include "src/index/node_table.h"

#include "src/runtime/operational_counters.h"
#include "src/sdk/record_index.h"

namespace zv {

namespace {

// The candidate ids: the payload index of the first filter field when it
// finds every record equal to the value (not for a Float zero, which equals
// its negative twin keyed apart, nor for a value whose entries may have been
// skipped as over-long), else the namespace index.
ZolvaResult<text::DerivedLookup> candidates(StorageEngine& engine, std::string_view ns,
                                            const FieldMap& filter) {
  if (!filter.empty()) {
    const auto& [field, value] = *filter.begin();
    if (text::payload_lookup_usable(ns, field, value)) {
      return payload_index_ids(engine, ns, field, value, 0, std::nullopt);
    }
  }
  return namespace_index_ids(engine, ns, 0, std::nullopt);
}

void keep_matching(const std::vector<EngineNode>& nodes, std::string_view ns,
                   const FieldMap& filter, std::vector<MemoryRecord>* out) {
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/true);
    if (!r || r->ns != ns || !matches_equality_filters(r->metadata, filter)) continue;
    out->push_back(std::move(*r));
  }
}

}  // namespace

ZolvaResult<std::vector<MemoryRecord>> list_filtered_records(const EmbeddedDb& db,
                                                             std::string_view ns,
                                                             const FieldMap& filter) {
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, db.engine());
  ZV_ASSIGN_OR_RETURN(text::DerivedLookup found, candidates(*engine, ns, filter));
  std::vector<NodeId> ids;
  ids.reserve(found.ids.size());
  std::unordered_set<NodeId, NodeIdHash> seen;
  for (NodeId id : found.ids) {
    if (seen.insert(id).second) ids.push_back(id);
  }
  std::vector<MemoryRecord> out;
  {
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine->get_many(ids));
    keep_matching(nodes, ns, filter, &out);
  }
  if (out.empty() && !found.state_exists) {
    OperationalCounters::global().derived_full_scan_fallbacks.add(1);
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine->scan_all_nodes());
    keep_matching(nodes, ns, filter, &out);
  }
  std::sort(out.begin(), out.end(), [](const MemoryRecord& a, const MemoryRecord& b) {
    if (a.key != b.key) return a.key < b.key;
    return a.node_id < b.node_id;
  });
  return out;
}

}  // namespace zv
