// The records of a namespace whose metadata equals every value of a filter
// map, read through the derived indexes: candidates from the payload index
// of the first filter field (or from the namespace index when the payload
// index cannot answer that value, or the map is empty), each record checked
// against the whole map. Falls back to a scan of every node only when the
// index gave nothing and no derived index state exists. Thread-safe.
#pragma once

#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/record/memory_record.h"
#include "src/sdk/embedded_db.h"

namespace zv {

// Live, unexpired records sorted by key bytes, ties by node id. A list value
// in the first filter field fails with "Cannot encode list value as scalar
// index key".
ZolvaResult<std::vector<MemoryRecord>> list_filtered_records(const EmbeddedDb& db,
                                                             std::string_view ns,
                                                             const FieldMap& filter);

}  // namespace zv
