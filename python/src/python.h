// The one include of the Python C API, limited to the stable ABI of 3.11.
// Every binding file includes this instead of <Python.h>; no state.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030b0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
