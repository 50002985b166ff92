// The two derived-index lookups: the ids of a namespace's records (namespace
// index) or of the records whose field holds a value (payload index), in
// record-key order with skip and limit, streamed from the backend's prefix
// iterator; and the test of whether the payload index can answer a filter
// value at all. Thread-safe as the backend is.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/runtime/operational_counters.h"
#include "src/record/field_value.h"

namespace zv::text {

// The longest record key the record model accepts.
inline constexpr size_t kMaxRecordKeyBytes = 512;

struct DerivedLookup {
  std::vector<NodeId> ids;
  bool state_exists = false;  // whether the derived index state record exists
};

// Entries whose value is not 16 bytes are neither returned nor counted by
// skip; a limit (at least 1 when given) stops the walk. Each successful
// lookup adds 1 to *prefix_scans when given.
ZolvaResult<DerivedLookup> payload_index_ids(StorageBackend& backend, std::string_view ns,
                                             std::string_view field, const FieldValue& value,
                                             uint64_t skip, std::optional<uint64_t> limit,
                                             CounterCell* prefix_scans = nullptr);
ZolvaResult<DerivedLookup> namespace_index_ids(StorageBackend& backend, std::string_view ns,
                                               uint64_t skip, std::optional<uint64_t> limit,
                                               CounterCell* prefix_scans = nullptr);

// Whether the payload index finds every record equal to the value: not for
// a Float zero (0.0 and -0.0 are equal but keyed apart), nor for a value
// whose entries may have been skipped as over-long (the lookup prefix plus
// the longest record key would pass the key limit). Such filters read their
// candidates from the namespace index instead.
bool payload_lookup_usable(std::string_view ns, std::string_view field, const FieldValue& value);

}  // namespace zv::text
