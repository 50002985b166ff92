// The module's Record class (one stored record with typed read-only
// properties, also readable by field name) and SearchHit (a record with its
// search score, `id`, and NumPy's array interface over its vector). Plain
// snapshots: readable after the database is closed. Needs the interpreter lock.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/type_cell.h"
#include "src/record/memory_record.h"

namespace zv::py {

extern TypeCell g_record_cell;
extern TypeCell g_search_hit_cell;

// A new Record owning the record.
PyResult<PyRef> record_into_py(MemoryRecord record);

// A new list of Record, one per record, in order.
PyResult<PyRef> records_to_py_list(std::vector<MemoryRecord> records);

// A new list of SearchHit, one per (record, score), in order.
PyResult<PyRef> search_hits_to_py_list(std::vector<std::pair<MemoryRecord, float>> hits);

}  // namespace zv::py
