// The process-wide cell of one class's type object: empty until first use,
// then filled once with the type made from the class's PyType_Spec, and
// never emptied. Classes of the module (Client, Vector, Record, ...) each own
// one. Use with the interpreter lock held.
#pragma once

#include "python/src/py_err.h"
#include "python/src/python.h"

namespace zv::py {

// Flags every class of the module shares: not subclassable, no instance
// dictionary or weak references, not tracked by the cyclic collector.
// Classes without `__new__` add Py_TPFLAGS_DISALLOW_INSTANTIATION.
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT;

class TypeCell {
 public:
  // `class_name` is the bare class name used in the failure text; `spec`
  // (name "builtins.<Class>", size, flags, slots) must outlive the process.
  constexpr TypeCell(const char* class_name, PyType_Spec* spec)
      : class_name_(class_name), spec_(spec) {}

  // The type object (borrowed), created now if the cell is empty; the
  // creation error otherwise. Used by the module's execution step.
  PyResult<PyTypeObject*> get_or_create();

  // The same, for every other caller: a creation failure is reported through
  // the unraisable-exception hook, then panics with
  // "failed to create type object for `<Class>`".
  PyTypeObject* get();

 private:
  const char* class_name_;
  PyType_Spec* spec_;
  PyObject* type_ = nullptr;  // filled once, held for the life of the process
};

// Frees an instance of a module class after its native value was released:
// the free slot of its actual type, then the instance's reference to the type.
void free_instance(PyObject* self);

}  // namespace zv::py
