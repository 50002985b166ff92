#include "python/src/module.h"

namespace zolva::py {

namespace {

int module_exec(PyObject* module) {
  PyObject* v = PyUnicode_FromString("0.8.0");
  if (!v) return -1;
  if (PyModule_AddObject(module, "__version__", v) != 0) {
    Py_DECREF(v);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "dozudaz_id",
    "The Python module for ZivirOR.\nUsage: `import dozudaz_id`",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* module_init() { return PyModuleDef_Init(&g_module); }

}  // namespace zolva::py
