#include "python/src/exceptions.h"

#include <string>

#include "platform/panic.h"
#include "python/src/py_err.h"

namespace zv::py {

namespace {

struct ClassInfo {
  const char* short_name;
  const char* qualified_name;
};

constexpr ClassInfo kClasses[kExcClassCount] = {
    {"Error", "dozudaz_id.Error"},
    {"NotFoundError", "dozudaz_id.NotFoundError"},
    {"ValidationError", "dozudaz_id.ValidationError"},
    {"CorruptError", "dozudaz_id.CorruptError"},
    {"StorageError", "dozudaz_id.StorageError"},
    {"ConflictError", "dozudaz_id.ConflictError"},
    {"UnsupportedError", "dozudaz_id.UnsupportedError"},
    {"ResourceLimitError", "dozudaz_id.ResourceLimitError"},
    {"BusyError", "dozudaz_id.BusyError"},
    {"NoVectorError", "dozudaz_id.NoVectorError"},
    {"TimeoutError", "dozudaz_id.TimeoutError"},
};

constexpr const char* kCreateFailed = "Failed to initialize new exception type.";
constexpr const char* kPanicQualifiedName = "ziviror_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when native code of ZivirOR stops on a broken internal invariant.";

// The class cells. Written only with the interpreter lock held, and filled at
// most once: creation runs no Python code of ours, and a cell found filled
// after creation keeps its first class.
PyObject* g_classes[kExcClassCount] = {};
PyObject* g_panic_class = nullptr;

[[noreturn]] void creation_failed() {
  PyRef inst = PyErr::fetch().into_instance();
  std::string detail;
  if (inst) {
    PyRef text = PyRef::steal(PyObject_Str(inst.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 != nullptr) detail = utf8;
    PyErr_Clear();
  }
  panic(detail.empty() ? std::string(kCreateFailed) : std::string(kCreateFailed) + ": " + detail);
}

PyObject* fill_cell(PyObject** cell, PyObject* created) {
  if (created == nullptr) creation_failed();
  if (*cell == nullptr) {
    *cell = created;  // held for the life of the process
  } else {
    Py_DECREF(created);
  }
  return *cell;
}

}  // namespace

const char* exc_class_name(ExcClass cls) { return kClasses[static_cast<int>(cls)].short_name; }

PyObject* exception_class(ExcClass cls) {
  const int i = static_cast<int>(cls);
  if (g_classes[i] != nullptr) return g_classes[i];
  PyObject* base =
      cls == ExcClass::kError ? PyExc_RuntimeError : exception_class(ExcClass::kError);
  // No docstring and no class dictionary: the classes define no attributes.
  PyObject* created =
      PyErr_NewException(kClasses[i].qualified_name, base, nullptr);
  return fill_cell(&g_classes[i], created);
}

PyObject* panic_exception_class() {
  if (g_panic_class != nullptr) return g_panic_class;
  PyObject* created = PyErr_NewExceptionWithDoc(kPanicQualifiedName, kPanicDoc,
                                                PyExc_BaseException, nullptr);
  return fill_cell(&g_panic_class, created);
}

}  // namespace zv::py
