// Whole lists across the boundary: a Python sequence of numbers read into
// 32-bit floats, a sequence of str read into strings, a sequence of ints into
// 128-bit node ids, and core lists of floats, strings, node ids and
// (node id, distance) pairs written as new Python lists, each created at its
// final length. Needs the interpreter lock.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "src/foundation/node_id.h"

namespace zv::py {

// Any sequence except a str, each item through the interpreter's float
// conversion, rounded to the nearest 32-bit float. A str raises TypeError
// "Can't extract `str` to `Vec`", a non-sequence the standard type error
// naming 'Sequence'; an item's own conversion error passes through.
PyResult<std::vector<float>> extract_f32_list(PyObject* obj);

// Any sequence except a str, its items collected as new references without
// looking at them; the same refusals as extract_f32_list.
PyResult<std::vector<PyRef>> extract_object_list(PyObject* obj);

// Any sequence except a str, each item a str (subclasses too); a non-str
// item raises the standard type error naming 'str'. The same refusals of
// the whole as extract_f32_list.
PyResult<std::vector<std::string>> extract_str_list(PyObject* obj);

// Any sequence except a str, each item an integer (or an object with
// __index__) in [0, 2^128): its low 64 bits by the interpreter's masking
// conversion, the item shifted right by 64 as the high ones. A negative or
// too large item raises the interpreter's OverflowError, a non-integer its
// TypeError. Every failure carries the note naming `roots`.
PyResult<std::vector<NodeId>> extract_node_ids(PyObject* obj);

// New lists of int / (int, float) tuples.
PyResult<PyRef> node_ids_to_py_list(const std::vector<NodeId>& ids);
PyResult<PyRef> neighbors_to_py_list(const std::vector<std::pair<NodeId, float>>& neighbors);

// New lists of float / str.
PyResult<PyRef> f32_list_to_py(const std::vector<float>& values);
PyResult<PyRef> str_list_to_py(const std::vector<std::string>& values);

}  // namespace zv::py
