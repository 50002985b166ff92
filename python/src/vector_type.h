// The module's Vector class (an owned array of 32-bit floats that NumPy reads
// through `__array_interface__`, a copy as `bytes`, and plain Python reads as
// a sequence) and its iterator VectorIter. Needs the interpreter lock.
#pragma once

#include <vector>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "python/src/type_cell.h"

namespace zv::py {

extern TypeCell g_vector_cell;
extern TypeCell g_vector_iter_cell;

inline PyTypeObject* vector_type() { return g_vector_cell.get(); }

// A new Vector holding a copy of the values.
PyResult<PyRef> new_vector(const std::vector<float>& values);

// A callable that builds a Vector and pickles as a lookup of the class by
// its module and name (vector_pickle.cc).
PyResult<PyRef> vector_class_by_name();

// Calls `callable` with a new list of the values as floats as its only
// argument (constructs a Vector when given the Vector class).
PyResult<PyRef> to_ndarray(const std::vector<float>& values, PyObject* callable);

}  // namespace zv::py
