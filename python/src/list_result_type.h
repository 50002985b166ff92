// The module's ListResult class (one page of a listing: its records and the
// continuation cursor, records turned into Record objects only when read)
// and ListResultIter, which iterates its own copy of a page's records.
// Plain snapshots: readable after the database is closed. Needs the
// interpreter lock.
#pragma once

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/type_cell.h"
#include "src/sdk/list_options.h"

namespace zv::py {

extern TypeCell g_list_result_cell;
extern TypeCell g_list_result_iter_cell;

// A new ListResult owning the page.
PyResult<PyRef> list_result_into_py(ZolvaListResult page);

}  // namespace zv::py
