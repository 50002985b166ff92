// Operator filters from Python: a dict of field names to plain values
// (equality) or to operator dicts ({"$gte": 1, "$lt": 10}) turned into the
// condition list that counting and deleting by filter take. Needs the
// interpreter lock.
#pragma once

#include <vector>

#include "python/src/py_err.h"
#include "python/src/python.h"
#include "src/record/validation.h"

namespace zv::py {

// Null (not given) gives an empty list. Items come out in the dict's order
// and, within a field, in its operator dict's order; an empty operator dict
// adds nothing. An unknown operator raises ValueError before its operand is
// converted; an operand's own conversion error passes through unchanged.
PyResult<std::vector<MemoryFilterItem>> filters_from_py(PyObject* dict);

}  // namespace zv::py
