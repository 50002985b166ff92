#include "src/text/derived_lookup.h"

#include "src/record/node_key.h"
#include "src/text/derived_index.h"

namespace zv::text {

namespace {

ZolvaResult<DerivedLookup> walk(StorageBackend& backend, Partition partition,
                                std::string_view prefix, uint64_t skip,
                                std::optional<uint64_t> limit,
                                CounterCell* prefix_scans) {
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> it, backend.prefix_iter(partition, prefix));
  ZV_ASSIGN_OR_RETURN(std::optional<DerivedIndexState> state, DerivedIndexState::read(backend));
  if (prefix_scans != nullptr) prefix_scans->add(1);
  DerivedLookup out;
  out.state_exists = state.has_value();
  if (limit && *limit == 0) return out;
  while (std::optional<ZolvaResult<KvPair>> item = it->next()) {
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    const std::optional<NodeId> id = node_id_from_key((*item)->value);
    if (!id) continue;  // not 16 bytes: neither returned nor skipped
    if (skip > 0) {
      --skip;
      continue;
    }
    out.ids.push_back(*id);
    if (limit && out.ids.size() >= *limit) break;
  }
  return out;
}

}  // namespace

ZolvaResult<DerivedLookup> payload_index_ids(StorageBackend& backend, std::string_view ns,
                                             std::string_view field, const FieldValue& value,
                                             uint64_t skip, std::optional<uint64_t> limit,
                                             CounterCell* prefix_scans) {
  ZV_ASSIGN_OR_RETURN(std::string prefix, scalar_index_key(ns, field, value));
  return walk(backend, Partition::kPayloadIndex, prefix, skip, limit, prefix_scans);
}

ZolvaResult<DerivedLookup> namespace_index_ids(StorageBackend& backend, std::string_view ns,
                                               uint64_t skip, std::optional<uint64_t> limit,
                                               CounterCell* prefix_scans) {
  std::string prefix(ns);
  prefix.push_back('\0');
  return walk(backend, Partition::kNamespaceIndex, prefix, skip, limit, prefix_scans);
}

bool payload_lookup_usable(std::string_view ns, std::string_view field, const FieldValue& value) {
  if (const double* f = value.if_float(); f != nullptr && *f == 0.0) return false;
  auto prefix = scalar_index_key(ns, field, value);
  if (!prefix.ok()) return true;  // a list: the lookup reports its own error
  return prefix->size() + kMaxRecordKeyBytes <= kMaxIndexKeyBytes;
}

}  // namespace zv::text
