// Argument handling of the binding's methods: parsing the interpreter's call
// forms into named parameter slots, and the plain extractions (str, unsigned
// integers, bool, float, a dict type test) with the standard type error and
// the note that names the parameter. Needs the interpreter lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"

namespace zv::py {

// A method's parameter list: all positional or keyword, the first `required`
// ones required.
struct ParamList {
  const char* function;  // the name in the interpreter's messages ("put")
  std::span<const char* const> names;
  size_t required;
};

// Fills `out[i]` (borrowed, null when omitted) from a fast call. Surplus,
// missing, unknown or doubled arguments raise the interpreter-style TypeError.
PyStatus parse_fastcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out);
// The same from a positional tuple and an optional keyword dict.
PyStatus parse_varargs(const ParamList& params, PyObject* args, PyObject* kwargs,
                       PyObject** out);

// The type name of an object ("int", "PosixPath").
std::string type_name(PyObject* obj);
// TypeError "'<type>' object is not an instance of '<expected>'", or
// "'None' is not an instance of '<expected>'" for None.
PyErr type_error(PyObject* obj, std::string_view expected);
// KeyError with the message as its only argument (made at once: a lazily
// made KeyError would show the message's repr).
PyErr key_error(const std::string& message);
// Adds the note "while processing '<name>'" to the exception, making it.
PyErr with_note(PyErr err, std::string_view name);

// The extractions; each failure carries the note naming `name`.
// str (subclasses too), as a view of the object's UTF-8 (lives as long as the
// object).
PyResult<std::string_view> extract_str(PyObject* obj, const char* name);
// str or None (absent) when `obj` is null or None.
PyResult<std::optional<std::string_view>> extract_opt_str(PyObject* obj, const char* name);
// An int or an object with __index__ in 0..2^64-1; the interpreter's
// OverflowError / TypeError otherwise. None is refused.
PyResult<uint64_t> extract_u64(PyObject* obj, const char* name);
PyResult<std::optional<uint64_t>> extract_opt_u64(PyObject* obj, const char* name);
// True, False or a NumPy boolean. None is refused. `fallback` when omitted.
PyResult<bool> extract_bool(PyObject* obj, const char* name, bool fallback);
// Anything the interpreter converts to a float; None (absent) when omitted.
PyResult<std::optional<double>> extract_opt_f64(PyObject* obj, const char* name);
// A dict (or subclass) or None; gives the dict or null.
PyResult<PyObject*> extract_opt_dict(PyObject* obj, const char* name);

// True for Python's bool and NumPy's boolean scalars.
bool is_bool_like(PyObject* obj);

// str(obj) as UTF-8; "?" when that fails.
std::string str_text(PyObject* obj);

// The panic of walk_dict.
[[noreturn]] void dict_changed_during_walk();

// Calls fn(key, value) -> PyStatus for each item of the dict, in order,
// holding both while fn runs. fn may run Python code; should that change the
// dict's size the walk stops with a panic ("dictionary changed size during
// iteration"), as the interpreter's own iteration would.
template <class Fn>
PyStatus walk_dict(PyObject* dict, Fn&& fn) {
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    PyRef key_ref = PyRef::borrow(key);
    PyRef value_ref = PyRef::borrow(value);
    ZV_TRY(fn(key, value));
    if (PyDict_Size(dict) != size) dict_changed_during_walk();
  }
  return {};
}

}  // namespace zv::py
