#include "src/storage/filtered_records.h"

#include <algorithm>
#include <unordered_set>

#include "src/record/validation.h"
#include "src/runtime/operational_counters.h"
#include "src/text/derived_lookup.h"

namespace zv {
namespace {

ZolvaResult<text::DerivedLookup> candidate_ids(StorageBackend& backend, std::string_view ns,
                                               const FieldMap& filters) {
  if (!filters.empty()) {
    const auto& [field, value] = *filters.begin();
    // A list value is refused by the payload lookup itself.
    if (text::payload_lookup_usable(ns, field, value)) {
      return text::payload_index_ids(backend, ns, field, value, 0, std::nullopt);
    }
  }
  return text::namespace_index_ids(backend, ns, 0, std::nullopt);
}

void keep_matching(const std::vector<EngineNode>& nodes, std::string_view ns,
                   const FieldMap& filters, std::vector<MemoryRecord>* out) {
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/true);
    if (!r || r->ns != ns || !matches_equality_filters(r->metadata, filters)) continue;
    out->push_back(std::move(*r));
  }
}

}  // namespace

ZolvaResult<std::vector<MemoryRecord>> list_filtered_records(StorageEngine& engine,
                                                             std::string_view ns,
                                                             const FieldMap& filters) {
  OperationalCounters& counters = OperationalCounters::global();
  ZV_ASSIGN_OR_RETURN(text::DerivedLookup lookup, candidate_ids(*engine.backend, ns, filters));
  counters.derived_prefix_scans.add(1);
  std::unordered_set<NodeId, NodeIdHash> seen;
  std::vector<NodeId> ids;
  ids.reserve(lookup.ids.size());
  for (NodeId id : lookup.ids) {
    if (seen.insert(id).second) ids.push_back(id);
  }
  std::vector<MemoryRecord> records;
  {
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.get_many(ids));
    keep_matching(nodes, ns, filters, &records);
  }
  if (records.empty() && !lookup.state_exists) {
    counters.derived_full_scan_fallbacks.add(1);
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.scan_all_nodes());
    keep_matching(nodes, ns, filters, &records);
  }
  std::sort(records.begin(), records.end(), [](const MemoryRecord& a, const MemoryRecord& b) {
    if (a.key != b.key) return a.key < b.key;
    return a.node_id < b.node_id;
  });
  return records;
}

}  // namespace zv
