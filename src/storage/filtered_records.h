// The records of one namespace that satisfy an equality filter map, found
// through the derived indexes: the payload index of the first filter (the
// namespace index without filters, or when the payload index cannot answer
// that value), every candidate read and checked against all filters. Thread-
// safe as the engine is; reads only.
#pragma once

#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/memory_record.h"
#include "src/storage/storage_engine.h"

namespace zv {

// Live, unexpired records of `ns` whose metadata equals every filter entry,
// sorted by key bytes, ties by node id. When the index gave nothing and no
// derived index state exists, every stored node is scanned instead. A list
// value in the first filter fails with the payload index's Validation error.
ZolvaResult<std::vector<MemoryRecord>> list_filtered_records(StorageEngine& engine,
                                                             std::string_view ns,
                                                             const FieldMap& filters);

}  // namespace zv
