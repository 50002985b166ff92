#include "python/src/field_values.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "python/src/args.h"
#include "python/src/datetime_values.h"
#include "python/src/metadata_cache.h"

namespace zv::py {

namespace {

constexpr const char* kUnsupported =
    "Unsupported field value. Use str, int, float, bool, datetime, list, or None.";

PyResult<std::string> utf8_of(PyObject* obj) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) return py_fail_fetch();
  return std::string(p, static_cast<size_t>(n));
}

// The integer protocol's value when it fits 64 bits; none otherwise (the
// error cleared).
std::optional<int64_t> as_i64(PyObject* obj) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (index) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return v;
  }
  PyErr_Clear();
  return std::nullopt;
}

// The float protocol's value, or none (the error cleared).
std::optional<double> as_f64(PyObject* obj) {
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return d;
}

// Calls fn(item) -> PyStatus for the list's items by index, up to the smaller
// of its length at the start and its current length, so a list that shrinks
// while it is read ends early.
template <class Fn>
PyStatus walk_list(PyObject* list, Fn fn) {
  const Py_ssize_t start_len = PyList_Size(list);
  for (Py_ssize_t i = 0; i < start_len && i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    ZV_TRY(fn(item.get()));
  }
  return {};
}

std::string type_name_or_unknown(PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "unknown";
  }
  return text;
}

// A list value: its kind inferred from the first element, every element then
// converted as that kind.
PyResult<FieldValue> list_from_py(PyObject* list) {
  if (PyList_Size(list) == 0) return FieldValue::list_string({});
  PyRef first = PyRef::borrow(PyList_GetItem(list, 0));
  if (first.get() == Py_None) return py_fail(PyErr::lazy(PyExc_TypeError, "List elements cannot be None."));
  if (as_i64(first.get())) {
    std::vector<int64_t> out;
    ZV_TRY(walk_list(list, [&](PyObject* item) -> PyStatus {
      PyRef index = PyRef::steal(PyNumber_Index(item));
      if (!index) return py_fail_fetch();
      long long v = PyLong_AsLongLong(index.get());
      if (v == -1 && PyErr_Occurred()) return py_fail_fetch();
      out.push_back(v);
      return {};
    }));
    return FieldValue::list_int(std::move(out));
  }
  if (is_bool_like(first.get())) {
    std::vector<bool> out;
    ZV_TRY(walk_list(list, [&](PyObject* item) -> PyStatus {
      if (!is_bool_like(item)) return py_fail(type_error(item, "bool"));
      int truth = PyObject_IsTrue(item);
      if (truth < 0) return py_fail_fetch();
      out.push_back(truth == 1);
      return {};
    }));
    return FieldValue::list_bool(std::move(out));
  }
  ZV_ASSIGN_OR_RETURN(std::optional<DateTime> first_instant, aware_datetime_from_py(first.get()));
  if (first_instant) {
    std::vector<DateTime> out;
    ZV_TRY(walk_list(list, [&](PyObject* item) -> PyStatus {
      ZV_ASSIGN_OR_RETURN(std::optional<DateTime> instant, aware_datetime_from_py(item));
      if (!instant) {
        return py_fail(PyErr::lazy(PyExc_TypeError, "List elements must be consistent datetime objects."));
      }
      out.push_back(*instant);
      return {};
    }));
    return FieldValue::list_date_time(std::move(out));
  }
  if (as_f64(first.get())) {
    std::vector<double> out;
    ZV_TRY(walk_list(list, [&](PyObject* item) -> PyStatus {
      double d = PyFloat_AsDouble(item);
      if (d == -1.0 && PyErr_Occurred()) return py_fail_fetch();
      if (std::isnan(d)) return py_fail(PyErr::lazy(PyExc_TypeError, "ListFloat elements cannot be NaN."));
      if (std::isinf(d)) return py_fail(PyErr::lazy(PyExc_TypeError, "ListFloat elements cannot be Infinity."));
      out.push_back(d);
      return {};
    }));
    return FieldValue::list_float(std::move(out));
  }
  if (PyUnicode_Check(first.get())) {
    std::vector<std::string> out;
    ZV_TRY(walk_list(list, [&](PyObject* item) -> PyStatus {
      if (!PyUnicode_Check(item)) return py_fail(type_error(item, "str"));
      ZV_ASSIGN_OR_RETURN(std::string text, utf8_of(item));
      out.push_back(std::move(text));
      return {};
    }));
    return FieldValue::list_string(std::move(out));
  }
  return py_fail(PyErr::lazy(PyExc_TypeError, "Unsupported list element type '" + type_name_or_unknown(first.get()) +
                                                  "' (inferred from first element). All list elements must be the "
                                                  "same type: bool, int, float, str, or datetime."));
}

template <class T, class Make>
PyResult<PyRef> list_to_py(const std::vector<T>& values, Make make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < values.size(); ++i) {
    ZV_ASSIGN_OR_RETURN(PyRef item, make(values[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

// Every value converted, in the dict's order; a later name with the same text
// (possible only with str subclasses) replaces the earlier one.
PyResult<FieldMap> convert_metadata(PyObject* dict) {
  FieldMap map;
  ZV_TRY(walk_dict(dict, [&](PyObject* key, PyObject* value) -> PyStatus {
    if (!PyUnicode_Check(key)) return py_fail(type_error(key, "str"));
    ZV_ASSIGN_OR_RETURN(std::string name, utf8_of(key));
    ZV_ASSIGN_OR_RETURN(FieldValue fv, field_value_from_py(value));
    map.insert_or_assign(std::move(name), std::move(fv));
    return {};
  }));
  return map;
}

PyResult<PyRef> made(PyObject* obj) {
  if (obj == nullptr) return py_fail_fetch();
  return PyRef::steal(obj);
}

PyResult<PyRef> value_to_py(const FieldValue& v) {
  switch (v.kind()) {
    case FieldKind::kString: return made(text_to_py(*v.if_string()));
    case FieldKind::kInt: return made(PyLong_FromLongLong(*v.if_int()));
    case FieldKind::kFloat: return made(PyFloat_FromDouble(*v.if_float()));
    case FieldKind::kBool: return made(PyBool_FromLong(*v.if_bool() ? 1 : 0));
    case FieldKind::kDateTime: return date_time_to_py(*v.if_date_time());
    case FieldKind::kListString:
      return list_to_py(*v.if_list_string(), [](const std::string& s) { return made(text_to_py(s)); });
    case FieldKind::kListInt:
      return list_to_py(*v.if_list_int(), [](int64_t x) { return made(PyLong_FromLongLong(x)); });
    case FieldKind::kListFloat:
      return list_to_py(*v.if_list_float(), [](double x) { return made(PyFloat_FromDouble(x)); });
    case FieldKind::kListBool: {
      const std::vector<bool>& src = *v.if_list_bool();
      std::vector<int> bits(src.begin(), src.end());
      return list_to_py(bits, [](int b) { return made(PyBool_FromLong(b)); });
    }
    case FieldKind::kListDateTime:
      return list_to_py(*v.if_list_date_time(), [](const DateTime& d) { return date_time_to_py(d); });
    case FieldKind::kNull: return PyRef::borrow(Py_None);
  }
  return PyRef::borrow(Py_None);
}

// A finite float, or the NaN / infinity refusal.
PyResult<FieldValue> finite_float(double d) {
  if (std::isnan(d)) return py_fail(PyErr::lazy(PyExc_TypeError, "Float field value cannot be NaN."));
  if (std::isinf(d)) return py_fail(PyErr::lazy(PyExc_TypeError, "Float field value cannot be Infinity."));
  return FieldValue::floating(d);
}

}  // namespace

PyResult<FieldValue> field_value_from_py(PyObject* obj) {
  if (obj == Py_None) return FieldValue::null();
  if (PyBool_Check(obj)) return FieldValue::boolean(obj == Py_True);
  // The exact built-in scalars reach the step that decides them at once, so
  // the common values skip the NumPy, datetime and failed-protocol probes
  // (a float's failed integer conversion raises and discards an exception).
  if (PyUnicode_CheckExact(obj)) {
    ZV_ASSIGN_OR_RETURN(std::string text, utf8_of(obj));
    return FieldValue::string(std::move(text));
  }
  if (PyFloat_CheckExact(obj)) return finite_float(PyFloat_AsDouble(obj));
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) return FieldValue::integer(v);
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return py_fail(PyErr::lazy(PyExc_TypeError, kUnsupported));
    }
    return finite_float(d);
  }
  if (is_bool_like(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return py_fail_fetch();
    return FieldValue::boolean(truth == 1);
  }
  ZV_ASSIGN_OR_RETURN(std::optional<DateTime> instant, aware_datetime_from_py(obj));
  if (instant) return FieldValue::date_time(*instant);
  if (PyList_Check(obj)) return list_from_py(obj);
  if (PyUnicode_Check(obj)) {
    ZV_ASSIGN_OR_RETURN(std::string text, utf8_of(obj));
    return FieldValue::string(std::move(text));
  }
  if (std::optional<int64_t> v = as_i64(obj)) return FieldValue::integer(*v);
  if (std::optional<double> d = as_f64(obj)) return finite_float(*d);
  return py_fail(PyErr::lazy(PyExc_TypeError, kUnsupported));
}

PyResult<FieldMap> metadata_from_py(PyObject* dict) {
  if (dict == nullptr || PyDict_Size(dict) == 0) return FieldMap();
  // The key's buffer is kept per thread, so a warm thread builds keys without
  // allocating; a conversion re-entered on the thread (a finalizer run by an
  // allocation below that stores a record) uses a buffer of its own.
  thread_local std::string scratch;
  thread_local bool scratch_busy = false;
  std::string own;
  std::string& key = scratch_busy ? own : scratch;
  struct Release {
    bool* busy;
    ~Release() { if (busy) *busy = false; }
  } release{scratch_busy ? nullptr : &scratch_busy};
  scratch_busy = true;
  if (!metadata_cache_key(dict, &key)) return convert_metadata(dict);
  if (std::optional<FieldMap> cached = metadata_cache_lookup(key)) return std::move(*cached);
  ZV_ASSIGN_OR_RETURN(FieldMap map, convert_metadata(dict));
  if (static_cast<Py_ssize_t>(map.size()) <= kMetadataCacheMaxEntries) metadata_cache_store(key, map);
  return map;
}

PyStatus field_value_to_py(PyObject* dict, const std::string& name, const FieldValue& value) {
  ZV_ASSIGN_OR_RETURN(PyRef obj, value_to_py(value));
  PyRef key = PyRef::steal(text_to_py(name));
  if (!key) return py_fail_fetch();
  if (PyDict_SetItem(dict, key.get(), obj.get()) != 0) return py_fail_fetch();
  return {};
}

PyResult<PyRef> metadata_to_py(const FieldMap& map) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return py_fail_fetch();
  for (const auto& [name, value] : map) ZV_TRY(field_value_to_py(dict.get(), name, value));
  return dict;
}

}  // namespace zv::py
