#include "src/sdk/record_index.h"

#include "src/runtime/operational_counters.h"

namespace zv {

text::TextIndexTarget index_target(StorageEngine& engine) {
  return text::TextIndexTarget{*engine.backend, engine, engine.text_stats, engine.index_locks};
}

ZolvaStatus apply_record_change(StorageEngine& engine, const MemoryRecord* old_record,
                                const MemoryRecord* new_record) {
  return text::apply_record_change(index_target(engine), old_record, new_record);
}

ZolvaResult<text::DerivedLookup> payload_index_ids(StorageEngine& engine, std::string_view ns,
                                                   std::string_view field, const FieldValue& value,
                                                   uint64_t skip, std::optional<uint64_t> limit) {
  return text::payload_index_ids(*engine.backend, ns, field, value, skip, limit,
                                 &OperationalCounters::global().derived_prefix_scans);
}

ZolvaResult<text::DerivedLookup> namespace_index_ids(StorageEngine& engine, std::string_view ns,
                                                     uint64_t skip, std::optional<uint64_t> limit) {
  return text::namespace_index_ids(*engine.backend, ns, skip, limit,
                                   &OperationalCounters::global().derived_prefix_scans);
}

ZolvaResult<text::TextIndexExpectedEntries> collect_text_index_entries(
    StorageEngine& engine, std::optional<std::string_view> ns_filter) {
  ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.scan_all_nodes());
  return text::collect_text_index_entries_from_nodes(nodes, ns_filter);
}

}  // namespace zv
