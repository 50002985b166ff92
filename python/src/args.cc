#include "python/src/args.h"

#include <cstring>

#include "platform/panic.h"
#include "python/src/py_ref.h"

namespace zv::py {

namespace {

std::string utf8_of(PyObject* str) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(p, static_cast<size_t>(n));
}

PyErr arg_error(const ParamList& params, const std::string& text) {
  return PyErr::lazy(PyExc_TypeError, std::string(params.function) + "() " + text);
}

// Positional values first, then keywords by name.
template <class KeywordAt>
PyStatus fill_slots(const ParamList& params, PyObject* const* positional, size_t npos,
                    size_t nkw, KeywordAt keyword_at, PyObject** out) {
  const size_t n = params.names.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  if (npos > n) {
    return py_fail(arg_error(params, "takes at most " + std::to_string(n) + " arguments (" +
                                         std::to_string(npos + nkw) + " given)"));
  }
  for (size_t i = 0; i < npos; ++i) out[i] = positional[i];
  for (size_t k = 0; k < nkw; ++k) {
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    keyword_at(k, &name, &value);
    if (!PyUnicode_Check(name)) return py_fail(arg_error(params, "keywords must be strings"));
    std::string key = utf8_of(name);
    size_t slot = n;
    for (size_t i = 0; i < n; ++i) {
      if (key == params.names[i]) {
        slot = i;
        break;
      }
    }
    if (slot == n) {
      return py_fail(PyErr::lazy(PyExc_TypeError, "'" + key + "' is an invalid keyword argument for " +
                                                      params.function + "()"));
    }
    if (out[slot] != nullptr) {
      return py_fail(arg_error(params, "got multiple values for argument '" + key + "'"));
    }
    out[slot] = value;
  }
  for (size_t i = 0; i < params.required; ++i) {
    if (out[i] == nullptr) {
      return py_fail(arg_error(params, "missing required argument '" + std::string(params.names[i]) +
                                           "' (pos " + std::to_string(i + 1) + ")"));
    }
  }
  return {};
}

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

PyStatus parse_fastcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out) {
  const size_t npos = static_cast<size_t>(nargs);
  const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_Size(kwnames)) : 0;
  return fill_slots(params, args, npos, nkw,
                    [&](size_t k, PyObject** name, PyObject** value) {
                      *name = PyTuple_GetItem(kwnames, static_cast<Py_ssize_t>(k));
                      *value = args[npos + k];
                    },
                    out);
}

PyStatus parse_varargs(const ParamList& params, PyObject* args, PyObject* kwargs,
                       PyObject** out) {
  const size_t npos = static_cast<size_t>(PyTuple_Size(args));
  PyObject* positional[16];
  if (npos > 16) {
    return py_fail(arg_error(params, "takes at most " + std::to_string(params.names.size()) +
                                         " arguments (" + std::to_string(npos) + " given)"));
  }
  for (size_t i = 0; i < npos; ++i) positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  PyRef items;
  size_t nkw = 0;
  if (kwargs != nullptr) {
    items = PyRef::steal(PyDict_Items(kwargs));
    if (!items) return py_fail_fetch();
    nkw = static_cast<size_t>(PyList_Size(items.get()));
  }
  return fill_slots(params, positional, npos, nkw,
                    [&](size_t k, PyObject** name, PyObject** value) {
                      PyObject* pair = PyList_GetItem(items.get(), static_cast<Py_ssize_t>(k));
                      *name = PyTuple_GetItem(pair, 0);
                      *value = PyTuple_GetItem(pair, 1);
                    },
                    out);
}

std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "unknown";
  }
  return utf8_of(name.get());
}

PyErr type_error(PyObject* obj, std::string_view expected) {
  std::string text = obj == Py_None ? "'None' is not an instance of '"
                                    : "'" + type_name(obj) + "' object is not an instance of '";
  text.append(expected);
  text.push_back('\'');
  return PyErr::lazy(PyExc_TypeError, std::move(text));
}

PyErr with_note(PyErr err, std::string_view name) {
  PyRef instance = std::move(err).into_instance();
  std::string note = "while processing '" + std::string(name) + "'";
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (text) {
    PyRef r = PyRef::steal(PyObject_CallMethod(instance.get(), "add_note", "O", text.get()));
    // An exception without notes keeps its own text.
    if (!r) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  return PyErr::from_instance(std::move(instance));
}

PyResult<std::string_view> extract_str(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) return py_fail(with_note(type_error(obj, "str"), name));
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) return py_fail(with_note(PyErr::fetch(), name));
  return std::string_view(p, static_cast<size_t>(n));
}

PyResult<std::optional<std::string_view>> extract_opt_str(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string_view>();
  ZV_ASSIGN_OR_RETURN(std::string_view s, extract_str(obj, name));
  return std::optional<std::string_view>(s);
}

PyResult<uint64_t> extract_u64(PyObject* obj, const char* name) {
  if (obj == Py_None) return py_fail(with_note(type_error(obj, "int"), name));
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return py_fail(with_note(PyErr::fetch(), name));
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return py_fail(with_note(PyErr::fetch(), name));
  }
  return static_cast<uint64_t>(v);
}

PyResult<std::optional<uint64_t>> extract_opt_u64(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<uint64_t>();
  ZV_ASSIGN_OR_RETURN(uint64_t v, extract_u64(obj, name));
  return std::optional<uint64_t>(v);
}

bool is_bool_like(PyObject* obj) { return PyBool_Check(obj) || is_numpy_bool(obj); }

PyResult<bool> extract_bool(PyObject* obj, const char* name, bool fallback) {
  if (obj == nullptr) return fallback;
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return py_fail(with_note(PyErr::fetch(), name));
    return truth == 1;
  }
  return py_fail(with_note(type_error(obj, "bool"), name));
}

PyResult<std::optional<double>> extract_opt_f64(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<double>();
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return py_fail(with_note(PyErr::fetch(), name));
  return std::optional<double>(v);
}

PyErr key_error(const std::string& message) {
  PyRef text = PyRef::steal(text_to_py(message));
  if (!text) return PyErr::fetch();
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_KeyError, text.get(), nullptr));
  if (!exc) return PyErr::fetch();
  return PyErr::from_instance(std::move(exc));
}

PyResult<PyObject*> extract_opt_dict(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return static_cast<PyObject*>(nullptr);
  if (!PyDict_Check(obj)) return py_fail(with_note(type_error(obj, "dict"), name));
  return obj;
}

std::string str_text(PyObject* obj) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (p == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(p, static_cast<size_t>(n));
}

void dict_changed_during_walk() { panic("dictionary changed size during iteration"); }

}  // namespace zv::py
