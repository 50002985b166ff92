#include "python/src/type_cell.h"

#include <string>

#include "platform/panic.h"

namespace zv::py {

namespace {
constexpr const char* kTypeCreateFailedPrefix = "failed to create type object for `";
}  // namespace

PyResult<PyTypeObject*> TypeCell::get_or_create() {
  if (type_ == nullptr) {
    PyObject* created = PyType_FromSpec(spec_);
    if (created == nullptr) return py_fail_fetch();
    // Creation runs no code of ours, but keep the first type should the cell
    // have been filled meanwhile.
    if (type_ == nullptr) {
      type_ = created;
    } else {
      Py_DECREF(created);
    }
  }
  return reinterpret_cast<PyTypeObject*>(type_);
}

PyTypeObject* TypeCell::get() {
  PyResult<PyTypeObject*> r = get_or_create();
  if (r.ok()) return *r;
  std::move(r).error().restore();
  PyErr_WriteUnraisable(nullptr);
  panic(std::string(kTypeCreateFailedPrefix) + class_name_ + "`");
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace zv::py
