#include "python/src/vector_type.h"

#include <string>

#include "python/src/args.h"
#include "python/src/instance.h"
#include "python/src/list_conversions.h"
#include "python/src/trampoline.h"
#include "python/src/vectors.h"
#include "src/record/float_text.h"

namespace zv::py {

namespace {

struct VectorIterState {
  std::vector<float> values;
  size_t pos = 0;
};

using VectorInst = std::vector<float>;

constexpr const char* kVectorDoc =
    "Vector(data)\n--\n\n"
    "A vector wrapper that exposes f32 data to NumPy via `__array_interface__`\n"
    "with an *owned* buffer copy (safe under drop/mutation), while remaining\n"
    "sequence-iterable for pure-Python consumers.\n\n"
    "Args:\n    data: a sequence of numbers (not a str); each is stored as the\n"
    "        nearest 32-bit float.";
constexpr const char* kVectorIterDoc =
    "Iterator for ``Vector`` that lets Python iterate over the elements\n"
    "without first converting the whole vector to a list.";

constexpr const char* const kNewParams[] = {"data"};

PyResult<PyRef> vector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* slots[1];
  ZV_TRY(parse_varargs(ParamList{"Vector", kNewParams, 1}, args, kwargs, slots));
  PyResult<std::vector<float>> values = extract_f32_list(slots[0]);
  if (!values.ok()) return py_fail(with_note(std::move(values).error(), "data"));
  std::vector<float> data = std::move(values).value();
  data.shrink_to_fit();
  return new_instance<VectorInst>(type, std::move(data));
}

PyResult<Py_ssize_t> vector_len(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  return static_cast<Py_ssize_t>(v->size());
}

PyResult<PyRef> vector_item_at(const VectorInst& v, long long idx) {
  const long long n = static_cast<long long>(v.size());
  if (idx < 0) idx += n;
  if (idx < 0 || idx >= n) return py_fail(PyErr::lazy(PyExc_IndexError, "vector index out of range"));
  PyObject* out = PyFloat_FromDouble(static_cast<double>(v[static_cast<size_t>(idx)]));
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyResult<PyRef> vector_getitem(PyObject* self, PyObject* key) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  PyRef index = PyRef::steal(PyNumber_Index(key));
  if (!index) return py_fail(with_note(PyErr::fetch(), "idx"));
  long long idx = PyLong_AsLongLong(index.get());
  if (idx == -1 && PyErr_Occurred()) return py_fail(with_note(PyErr::fetch(), "idx"));
  return vector_item_at(*v, idx);
}

// The sequence item slot, so that a Vector passes the sequence check.
PyObject* vector_sq_item(PyObject* self, Py_ssize_t i) noexcept {
  return call_trampoline([=]() -> PyResult<PyRef> {
    ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
    return vector_item_at(*v, static_cast<long long>(i));
  });
}

PyResult<PyRef> vector_iter(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  return new_instance<VectorIterState>(g_vector_iter_cell.get(), VectorIterState{*v, 0});
}

std::string repr_value(float f) { return float_debug_f32(f); }

PyResult<PyRef> vector_repr(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  std::string text = "Vector([";
  if (v->size() <= 6) {
    for (size_t i = 0; i < v->size(); ++i) {
      if (i > 0) text += ", ";
      text += repr_value((*v)[i]);
    }
    text += "])";
  } else {
    text += fixed4_text(v->front()) + ", ..., " + fixed4_text(v->back()) + "], dim=" + std::to_string(v->size()) + ")";
  }
  PyObject* out = text_to_py(text);
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyResult<PyRef> vector_array_interface(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  return array_interface(*v);
}

PyResult<PyRef> vector_getstate(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  return f32_list_to_py(*v);
}

constexpr const char* const kStateParams[] = {"state"};

// The vector is held exclusively while `state` is converted, so an item whose
// conversion reads or replaces this vector is refused; on any failure the
// old values stay.
PyResult<PyRef> vector_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  ZV_TRY(parse_fastcall(ParamList{"__setstate__", kStateParams, 1}, args, nargs, kwnames, slots));
  ZV_ASSIGN_OR_RETURN(auto v, ExclusiveBorrow<VectorInst>::take(self));
  PyResult<std::vector<float>> values = extract_f32_list(slots[0]);
  if (!values.ok()) return py_fail(with_note(std::move(values).error(), "state"));
  std::vector<float> data = std::move(values).value();
  data.shrink_to_fit();
  v->swap(data);
  return PyRef::borrow(Py_None);
}

// (the class, (values,)): pickle and copy rebuild through the constructor,
// which requires the values.
PyResult<PyRef> vector_reduce(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto v, SharedBorrow<VectorInst>::take(self));
  ZV_ASSIGN_OR_RETURN(PyRef values, f32_list_to_py(*v));
  ZV_ASSIGN_OR_RETURN(PyRef cls, vector_class_by_name());
  PyObject* out = Py_BuildValue("(O(O))", cls.get(), values.get());
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

constexpr const char* kGetStateDoc =
    "__getstate__($self)\n--\n\n"
    "The values as a list of floats.";
constexpr const char* kSetStateDoc = "__setstate__($self, state)\n--\n\n";
constexpr const char* kReduceDoc =
    "__reduce__($self)\n--\n\n"
    "The class and the values, so that pickle and copy rebuild the vector.";

PyMethodDef g_vector_methods[] = {
    {"__getstate__", &unary_stub<&vector_getstate>, METH_NOARGS, kGetStateDoc},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&vector_setstate>)),
     METH_FASTCALL | METH_KEYWORDS, kSetStateDoc},
    {"__reduce__", &unary_stub<&vector_reduce>, METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyResult<PyRef> vector_iter_self(PyObject* self) { return PyRef::borrow(self); }

PyResult<PyRef> vector_iter_next(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto it, ExclusiveBorrow<VectorIterState>::take(self));
  if (it->pos >= it->values.size()) {
    return py_fail(PyErr::lazy(PyExc_StopIteration, "end of iteration"));
  }
  PyObject* out = PyFloat_FromDouble(static_cast<double>(it->values[it->pos++]));
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyGetSetDef g_vector_getset[] = {
    {"__array_interface__", &getter_stub<&vector_array_interface>, nullptr,
     "NumPy's array interface over a copy of the values.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_vector_slots[] = {
    {Py_tp_doc, const_cast<char*>(kVectorDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&new_stub<&vector_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<VectorInst>>)},
    {Py_mp_length, reinterpret_cast<void*>(&length_stub<&vector_len>)},
    {Py_sq_length, reinterpret_cast<void*>(&length_stub<&vector_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(&subscript_stub<&vector_getitem>)},
    {Py_sq_item, reinterpret_cast<void*>(&vector_sq_item)},
    {Py_tp_iter, reinterpret_cast<void*>(&self_stub<&vector_iter>)},
    {Py_tp_repr, reinterpret_cast<void*>(&self_stub<&vector_repr>)},
    {Py_tp_getset, g_vector_getset},
    {Py_tp_methods, g_vector_methods},
    {0, nullptr},
};
PyType_Spec g_vector_spec = {"builtins.Vector", sizeof(Instance<VectorInst>), 0, kClassFlags,
                             g_vector_slots};

PyType_Slot g_vector_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>(kVectorIterDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<VectorIterState>>)},
    {Py_tp_iter, reinterpret_cast<void*>(&self_stub<&vector_iter_self>)},
    {Py_tp_iternext, reinterpret_cast<void*>(&self_stub<&vector_iter_next>)},
    {0, nullptr},
};
PyType_Spec g_vector_iter_spec = {"builtins.VectorIter", sizeof(Instance<VectorIterState>), 0,
                                  kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_vector_iter_slots};

}  // namespace

TypeCell g_vector_cell("Vector", &g_vector_spec);
TypeCell g_vector_iter_cell("VectorIter", &g_vector_iter_spec);

PyResult<PyRef> new_vector(const std::vector<float>& values) {
  return new_instance<VectorInst>(g_vector_cell.get(), VectorInst(values));
}

PyResult<PyRef> to_ndarray(const std::vector<float>& values, PyObject* callable) {
  ZV_ASSIGN_OR_RETURN(PyRef list, f32_list_to_py(values));
  PyRef out = PyRef::steal(PyObject_CallFunctionObjArgs(callable, list.get(), nullptr));
  if (!out) return py_fail_fetch();
  return out;
}

}  // namespace zv::py
