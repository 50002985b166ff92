// The module's exception classes: `Error` (a RuntimeError) and its ten direct
// subclasses, plus the PanicException that carries a caught panic into Python.
// Each class object is created once per process on first use and lives until
// the process ends. Needs the interpreter lock.
#pragma once

#include <cstdint>

#include "python/src/python.h"

namespace zv::py {

// In the order the module declares and adds them.
enum class ExcClass : uint8_t {
  kError = 0,
  kNotFoundError,
  kValidationError,
  kCorruptError,
  kStorageError,
  kConflictError,
  kUnsupportedError,
  kResourceLimitError,
  kBusyError,
  kNoVectorError,
  kTimeoutError,
};
inline constexpr int kExcClassCount = 11;

// Short name, the module attribute ("NotFoundError").
const char* exc_class_name(ExcClass cls);

// The class object (borrowed; lives for the process), created on first use,
// `Error` before any subclass. A failure to create it panics with
// "Failed to initialize new exception type." and the interpreter's error.
PyObject* exception_class(ExcClass cls);

// The class raised for a panic caught at the boundary; derives directly from
// BaseException so `except Exception` does not catch it. Not a module attribute.
PyObject* panic_exception_class();

}  // namespace zv::py
