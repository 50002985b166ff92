// How a pickled Vector finds its class again. Every class of the module
// reports the module "builtins", where pickle cannot look a class up by
// name, so a Vector reduces to (a reference, its values) instead of (its
// class, its values). The reference is a small hidden object: called, it
// builds a Vector (which is how copy.copy and copy.deepcopy use it); pickled,
// it reduces to getattr(__import__("dozudaz_id"), "Vector"), which a loader
// resolves to the class itself.

#include "python/src/instance.h"
#include "python/src/trampoline.h"
#include "python/src/vector_type.h"

namespace zv::py {

namespace {

constexpr const char* kModuleName = "dozudaz_id";
constexpr const char* kClassName = "Vector";

// True: stands for the module; false: for the Vector class in it.
struct ByName {
  bool module = false;
};

PyResult<PyRef> builtin(const char* name) {
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return py_fail_fetch();
  PyRef fn = PyRef::steal(PyObject_GetAttrString(builtins.get(), name));
  if (!fn) return py_fail_fetch();
  return fn;
}

PyResult<PyRef> new_by_name(bool module);

PyResult<PyRef> by_name_reduce(PyObject* self) {
  const bool module = instance_of<ByName>(self)->value.module;
  PyObject* out = nullptr;
  if (module) {
    ZV_ASSIGN_OR_RETURN(PyRef import, builtin("__import__"));
    out = Py_BuildValue("(O(s))", import.get(), kModuleName);
  } else {
    ZV_ASSIGN_OR_RETURN(PyRef getattr, builtin("getattr"));
    ZV_ASSIGN_OR_RETURN(PyRef module_ref, new_by_name(true));
    out = Py_BuildValue("(O(Os))", getattr.get(), module_ref.get(), kClassName);
  }
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyResult<PyRef> by_name_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (instance_of<ByName>(self)->value.module) {
    return py_fail(PyErr::lazy(PyExc_TypeError, "the module reference is not callable"));
  }
  PyRef out = PyRef::steal(PyObject_Call(reinterpret_cast<PyObject*>(vector_type()), args, kwargs));
  if (!out) return py_fail_fetch();
  return out;
}

PyMethodDef g_by_name_methods[] = {
    {"__reduce__", &unary_stub<&by_name_reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_by_name_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<ByName>>)},
    {Py_tp_call, reinterpret_cast<void*>(&varargs_stub<&by_name_call>)},
    {Py_tp_methods, g_by_name_methods},
    {0, nullptr},
};
PyType_Spec g_by_name_spec = {"builtins.VectorByName", sizeof(Instance<ByName>), 0,
                              kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_by_name_slots};
TypeCell g_by_name_cell("VectorByName", &g_by_name_spec);

PyResult<PyRef> new_by_name(bool module) { return new_instance<ByName>(g_by_name_cell.get(), ByName{module}); }

}  // namespace

PyResult<PyRef> vector_class_by_name() { return new_by_name(false); }

}  // namespace zv::py
