#include "python/src/module.h"

#include <string>

#include "platform/panic.h"
#include "python/src/client.h"
#include "python/src/exceptions.h"
#include "python/src/list_result_type.h"
#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/record_type.h"
#include "python/src/trampoline.h"
#include "python/src/vector_type.h"

namespace zv::py {

namespace {

constexpr const char* kModuleName = "dozudaz_id";
constexpr const char* kModuleDoc = "The Python module for ZivirOR.\nUsage: `import dozudaz_id`";
constexpr const char* kAllName = "__all__";
constexpr const char* kVersionName = "__version__";
constexpr const char* kAllNotList = "'__all__' of the module is not a list";
constexpr const char* kAllAppendFailed = "could not append __name__ to __all__";
constexpr const char* kNotAModule = "module_exec expects a module object, got '";

// One export of the module: its name and how to make the object. A null name
// means the object's own `__name__` (the module function).
struct ModuleEntry {
  const char* name;
  PyResult<PyRef> (*make)(PyObject* module);
};

template <TypeCell* Cell>
PyResult<PyRef> make_class(PyObject* /*module*/) {
  ZV_ASSIGN_OR_RETURN(PyTypeObject * type, Cell->get_or_create());
  return PyRef::borrow(reinterpret_cast<PyObject*>(type));
}

template <ExcClass C>
PyResult<PyRef> make_exception_class(PyObject* /*module*/) {
  return PyRef::borrow(exception_class(C));
}

PyResult<PyRef> make_version(PyObject* /*module*/) {
  PyRef v = PyRef::steal(text_to_py(module_version()));
  if (!v) return py_fail_fetch();
  return v;
}

// What the module exports, in the order of `__all__`.
constexpr ModuleEntry kEntries[] = {
    {"Client", &make_class<&g_client_cell>},
    {"Vector", &make_class<&g_vector_cell>},
    {"VectorIter", &make_class<&g_vector_iter_cell>},
    {"SearchHit", &make_class<&g_search_hit_cell>},
    {"Record", &make_class<&g_record_cell>},
    {"ListResult", &make_class<&g_list_result_cell>},
    {nullptr, &make_connect_function},
    {"Error", &make_exception_class<ExcClass::kError>},
    {"NotFoundError", &make_exception_class<ExcClass::kNotFoundError>},
    {"ValidationError", &make_exception_class<ExcClass::kValidationError>},
    {"CorruptError", &make_exception_class<ExcClass::kCorruptError>},
    {"StorageError", &make_exception_class<ExcClass::kStorageError>},
    {"ConflictError", &make_exception_class<ExcClass::kConflictError>},
    {"UnsupportedError", &make_exception_class<ExcClass::kUnsupportedError>},
    {"ResourceLimitError", &make_exception_class<ExcClass::kResourceLimitError>},
    {"BusyError", &make_exception_class<ExcClass::kBusyError>},
    {"NoVectorError", &make_exception_class<ExcClass::kNoVectorError>},
    {"TimeoutError", &make_exception_class<ExcClass::kTimeoutError>},
    {kVersionName, &make_version},
};

// The module's `__all__`, created empty when missing.
PyResult<PyRef> all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, kAllName));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py_fail_fetch();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, kAllName, all.get()) != 0) return py_fail_fetch();
  }
  if (!PyList_Check(all.get())) return py_fail(PyErr::lazy(PyExc_TypeError, kAllNotList));
  return all;
}

// The name a module function is added under: its `__name__`, which must be a str.
PyResult<PyRef> object_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(obj, "__name__"));
  if (!name) return py_fail_fetch();
  if (!PyUnicode_Check(name.get())) {
    return py_fail(PyErr::lazy(PyExc_TypeError, "__name__ must be a str"));
  }
  return name;
}

// Appends the name to `__all__`, then sets the attribute.
PyStatus add_export(PyObject* module, PyObject* name, PyObject* value) {
  ZV_ASSIGN_OR_RETURN(PyRef all, all_list(module));
  if (PyList_Append(all.get(), name) != 0) {
    PyErr_Clear();
    panic(kAllAppendFailed);
  }
  if (PyObject_SetAttr(module, name, value) != 0) return py_fail_fetch();
  return {};
}

PyStatus module_exec_body(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(module));
    PyRef type_name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    const char* text = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) : nullptr;
    PyErr_Clear();
    return py_fail(PyErr::lazy(PyExc_TypeError,
                               std::string(kNotAModule) + (text ? text : "?") + "'"));
  }
  for (const ModuleEntry& entry : kEntries) {
    ZV_ASSIGN_OR_RETURN(PyRef value, entry.make(module));
    PyRef name;
    if (entry.name != nullptr) {
      name = PyRef::steal(PyUnicode_FromString(entry.name));
      if (!name) return py_fail_fetch();
    } else {
      ZV_ASSIGN_OR_RETURN(name, object_name(value.get()));
    }
    ZV_TRY(add_export(module, name.get(), value.get()));
  }
  return {};
}

int module_exec_slot(PyObject* module) {
  return call_trampoline_status([module] { return module_exec_body(module); });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec_slot)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    0,        // no per-module state
    nullptr,  // no methods: `connect` is added by the execution step
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_init() { return PyModuleDef_Init(&g_module); }

int module_exec(PyObject* module) { return module_exec_slot(module); }

}  // namespace zv::py
