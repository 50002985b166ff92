#include "python/src/list_conversions.h"

#include "python/src/args.h"

namespace zv::py {

namespace {

// Walks a sequence (not a str) item by item: fn(item) -> PyStatus; the
// sequence's length, when it has one, is passed to `reserve` first.
template <class Reserve, class Fn>
PyStatus walk_sequence(PyObject* obj, Reserve reserve, Fn fn) {
  if (PyUnicode_Check(obj)) {
    return py_fail(PyErr::lazy(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  }
  if (!PySequence_Check(obj)) return py_fail(type_error(obj, "Sequence"));
  Py_ssize_t n = PySequence_Size(obj);
  if (n >= 0) {
    reserve(static_cast<size_t>(n));
  } else {
    PyErr_Clear();
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return py_fail_fetch();
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) ZV_TRY(fn(std::move(item)));
  if (PyErr_Occurred()) return py_fail_fetch();
  return {};
}

}  // namespace

PyResult<std::vector<float>> extract_f32_list(PyObject* obj) {
  std::vector<float> out;
  ZV_TRY(walk_sequence(
      obj, [&](size_t n) { out.reserve(n); },
      [&](PyRef item) -> PyStatus {
        double v = PyFloat_AsDouble(item.get());
        if (v == -1.0 && PyErr_Occurred()) return py_fail_fetch();
        out.push_back(static_cast<float>(v));
        return {};
      }));
  return out;
}

PyResult<std::vector<PyRef>> extract_object_list(PyObject* obj) {
  std::vector<PyRef> out;
  ZV_TRY(walk_sequence(
      obj, [&](size_t n) { out.reserve(n); },
      [&](PyRef item) -> PyStatus {
        out.push_back(std::move(item));
        return {};
      }));
  return out;
}

PyResult<std::vector<std::string>> extract_str_list(PyObject* obj) {
  std::vector<std::string> out;
  ZV_TRY(walk_sequence(
      obj, [&](size_t n) { out.reserve(n); },
      [&](PyRef item) -> PyStatus {
        if (!PyUnicode_Check(item.get())) return py_fail(type_error(item.get(), "str"));
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &len);
        if (text == nullptr) return py_fail_fetch();
        out.emplace_back(text, static_cast<size_t>(len));
        return {};
      }));
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
