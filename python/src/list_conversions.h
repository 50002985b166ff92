// Whole lists across the boundary: a Python sequence of numbers read into
// 32-bit floats, a sequence of str read into strings, and core lists of
// floats and strings written as new Python lists. Needs the interpreter lock.
#pragma once

#include <string>
#include <vector>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"

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

// New lists of float / str.
PyResult<PyRef> f32_list_to_py(const std::vector<float>& values);
PyResult<PyRef> str_list_to_py(const std::vector<std::string>& values);

}  // namespace zv::py
