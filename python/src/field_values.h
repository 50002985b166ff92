// Metadata values between Python and the core: one Python value into a
// FieldValue, a metadata dict into the name-sorted map a record stores, and a
// FieldValue back into a Python object. Needs the interpreter lock.
#pragma once

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "src/record/field_value.h"

namespace zv::py {

// None, bool (NumPy's too), an aware datetime with a fixed offset (stored as
// its UTC instant), a list (its kind inferred from the first element), str, a
// 64-bit integer, or a finite float; an integer beyond 64 bits becomes a
// Float. Anything else raises TypeError
// "Unsupported field value. Use str, int, float, bool, datetime, list, or None.".
PyResult<FieldValue> field_value_from_py(PyObject* obj);

// A dict (or null: none given) into a metadata map. Names must be str. A
// value whose conversion changes the dict's size stops the conversion with a
// panic ("dictionary changed size during iteration"). Small dicts of plain
// values are converted once per thread (metadata_cache.h).
PyResult<FieldMap> metadata_from_py(PyObject* dict);

// Sets dict[name] to the Python form of the value.
PyStatus field_value_to_py(PyObject* dict, const std::string& name, const FieldValue& value);

// The metadata map as a new dict, keys in the map's (byte) order.
PyResult<PyRef> metadata_to_py(const FieldMap& map);

}  // namespace zv::py
