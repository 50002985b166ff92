// Module definition of `dozudaz_id`: multi-phase initialisation with one
// execution step that registers the classes, `connect`, the exception classes
// and `__version__`.
#pragma once

#include "python/src/python.h"

namespace zolva::py {

// Returns the module definition prepared for multi-phase initialisation.
PyObject* module_init();

}  // namespace zolva::py
