#include "python/src/list_conversions.h"

#include "python/src/args.h"

namespace zv::py {

PyResult<std::vector<float>> extract_f32_list(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    return py_fail(PyErr::lazy(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  }
  if (!PySequence_Check(obj)) return py_fail(type_error(obj, "Sequence"));
  std::vector<float> out;
  Py_ssize_t n = PySequence_Size(obj);
  if (n >= 0) {
    out.reserve(static_cast<size_t>(n));
  } else {
    PyErr_Clear();
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return py_fail_fetch();
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    double v = PyFloat_AsDouble(item.get());
    if (v == -1.0 && PyErr_Occurred()) return py_fail_fetch();
    out.push_back(static_cast<float>(v));
  }
  if (PyErr_Occurred()) return py_fail_fetch();
  return out;
}

PyResult<PyRef> f32_list_to_py(const std::vector<float>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return py_fail_fetch();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyResult<PyRef> str_list_to_py(const std::vector<std::string>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = text_to_py(values[i]);
    if (item == nullptr) return py_fail_fetch();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace zv::py
