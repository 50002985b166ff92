#include "python/src/field_values.h"

#include <cmath>
#include <string>
#include <vector>

#include "python/src/args.h"

namespace zv::py {

namespace {

constexpr const char* kUnsupported =
    "Unsupported field value. Use str, int, float, bool, datetime, list, or None.";

// A UTC datetime through the datetime module: the stable ABI has no datetime
// C interface. Microsecond precision; the epoch plus a timedelta keeps years
// before 1970 and fails cleanly outside 1..9999.
PyResult<PyRef> date_time_to_py(const DateTime& dt) {
  PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!module) return py_fail_fetch();
  PyRef timezone = PyRef::steal(PyObject_GetAttrString(module.get(), "timezone"));
  PyRef utc = timezone ? PyRef::steal(PyObject_GetAttrString(timezone.get(), "utc")) : PyRef();
  PyRef datetime = PyRef::steal(PyObject_GetAttrString(module.get(), "datetime"));
  PyRef timedelta = PyRef::steal(PyObject_GetAttrString(module.get(), "timedelta"));
  if (!utc || !datetime || !timedelta) return py_fail_fetch();
  PyRef epoch = PyRef::steal(PyObject_CallFunction(datetime.get(), "iiiiiiiO", 1970, 1, 1, 0, 0, 0, 0, utc.get()));
  if (!epoch) return py_fail_fetch();
  PyRef delta = PyRef::steal(PyObject_CallFunction(timedelta.get(), "iLL", 0,
                                                   static_cast<long long>(dt.unix_seconds()),
                                                   static_cast<long long>(dt.subsec_nanos() / 1000)));
  if (!delta) return py_fail_fetch();
  PyRef out = PyRef::steal(PyNumber_Add(epoch.get(), delta.get()));
  if (!out) return py_fail_fetch();
  return out;
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

}  // namespace

PyResult<FieldValue> field_value_from_py(PyObject* obj) {
  if (obj == Py_None) return FieldValue::null();
  if (PyBool_Check(obj)) return FieldValue::boolean(obj == Py_True);
  if (is_bool_like(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return py_fail_fetch();
    return FieldValue::boolean(truth == 1);
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (p == nullptr) return py_fail_fetch();
    return FieldValue::string(std::string(p, static_cast<size_t>(n)));
  }
  // Lists, tuples, sets and datetimes are not scalars; only the scalar kinds
  // are read here, so they end as unsupported below.
  if (!PyList_Check(obj)) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (index) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return FieldValue::integer(v);
    }
    PyErr_Clear();
    double d = PyFloat_AsDouble(obj);
    if (!(d == -1.0 && PyErr_Occurred())) {
      if (std::isnan(d)) return py_fail(PyErr::lazy(PyExc_TypeError, "Float field value cannot be NaN."));
      if (std::isinf(d)) {
        return py_fail(PyErr::lazy(PyExc_TypeError, "Float field value cannot be Infinity."));
      }
      return FieldValue::floating(d);
    }
    PyErr_Clear();
  }
  return py_fail(PyErr::lazy(PyExc_TypeError, kUnsupported));
}

PyResult<FieldMap> metadata_from_py(PyObject* dict) {
  FieldMap map;
  if (dict == nullptr) return map;
  ZV_TRY(walk_dict(dict, [&](PyObject* key, PyObject* value) -> PyStatus {
    if (!PyUnicode_Check(key)) return py_fail(type_error(key, "str"));
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(key, &n);
    if (p == nullptr) return py_fail_fetch();
    std::string name(p, static_cast<size_t>(n));
    ZV_ASSIGN_OR_RETURN(FieldValue fv, field_value_from_py(value));
    map.insert_or_assign(std::move(name), std::move(fv));
    return {};
  }));
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
