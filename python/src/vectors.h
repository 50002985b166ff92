// Dense and sparse vectors from Python into the core's forms, and a stored
// dense vector back out as a NumPy array (or a Vector without NumPy). Needs
// the interpreter lock.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "src/record/validation.h"

namespace zv::py {

// A buffer of 32-bit floats (copied as is, C order), a C-contiguous buffer of
// 64-bit floats (each rounded), else any number sequence. Failing all three
// raises TypeError "Expected a list of floats or a NumPy array (buffer
// protocol). Got: <type>: <message>" from the sequence reading's error.
PyResult<std::vector<float>> extract_vector(PyObject* obj);

// A dict {dimension id: weight} (or null) into a sparse vector; an empty dict
// or none gives none. ValueError for a key outside u32 or a bad weight.
PyResult<std::optional<SparseVector>> sparse_vector_from_py(PyObject* dict);

// numpy.array over a Vector holding a copy of the values; none when numpy
// cannot be imported (ImportError); any other failure is raised.
PyResult<std::optional<PyRef>> vector_to_numpy(const std::vector<float>& values);

// The `vector` property of records and hits: None, a NumPy array, or a Vector.
PyResult<PyRef> vector_property(const std::optional<std::vector<float>>& vector);

// Fixed-point with four decimals ("0.1235", "1.0000"); "NaN", "inf", "-inf".
std::string fixed4_text(float value);

// NumPy's array interface (version 3) over a copy of the values: a new dict
// of "shape", "typestr" "<f4", "data" (new little-endian bytes), "version".
PyResult<PyRef> array_interface(const std::vector<float>& values);

}  // namespace zv::py
