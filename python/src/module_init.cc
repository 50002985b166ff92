// The extension module's only exported symbol.
#include "python/src/module.h"

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_dozudaz_id(void) {
  return zv::py::module_init();
}
