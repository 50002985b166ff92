#include "python/src/list_conversions.h"

#include "python/src/args.h"
#include "python/src/record_fields.h"

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

namespace {

PyResult<NodeId> node_id_from_py(PyObject* item) {
  PyRef index = PyRef::steal(PyNumber_Index(item));
  if (!index) return py_fail_fetch();
  // Masking keeps the low 64 bits of any int; the sign and the upper bound
  // are checked on the high part, which must itself fit 64 unsigned bits.
  const uint64_t low = PyLong_AsUnsignedLongLongMask(index.get());
  if (low == static_cast<uint64_t>(-1) && PyErr_Occurred()) return py_fail_fetch();
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!shift) return py_fail_fetch();
  PyRef high_obj = PyRef::steal(PyNumber_Rshift(index.get(), shift.get()));
  if (!high_obj) return py_fail_fetch();
  const uint64_t high = PyLong_AsUnsignedLongLong(high_obj.get());
  if (high == static_cast<uint64_t>(-1) && PyErr_Occurred()) return py_fail_fetch();
  return (static_cast<NodeId>(high) << 64) | low;
}

}  // namespace

PyResult<std::vector<NodeId>> extract_node_ids(PyObject* obj) {
  std::vector<NodeId> out;
  PyStatus walked = walk_sequence(
      obj, [&](size_t n) { out.reserve(n); },
      [&](PyRef item) -> PyStatus {
        ZV_ASSIGN_OR_RETURN(NodeId id, node_id_from_py(item.get()));
        out.push_back(id);
        return {};
      });
  if (!walked.ok()) return py_fail(with_note(std::move(walked).error(), "roots"));
  return out;
}

PyResult<PyRef> node_ids_to_py_list(const std::vector<NodeId>& ids) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < ids.size(); ++i) {
    ZV_ASSIGN_OR_RETURN(PyRef item, node_id_to_py(ids[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyResult<PyRef> neighbors_to_py_list(const std::vector<std::pair<NodeId, float>>& neighbors) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(neighbors.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < neighbors.size(); ++i) {
    ZV_ASSIGN_OR_RETURN(PyRef id, node_id_to_py(neighbors[i].first));
    PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(neighbors[i].second)));
    if (!distance) return py_fail_fetch();
    PyObject* pair = PyTuple_Pack(2, id.get(), distance.get());
    if (pair == nullptr) return py_fail_fetch();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
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
