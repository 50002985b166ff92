// The mapping of every core error onto the module's exceptions: class, code,
// retriable flag and hint by the error's kind index, and to_py_err, which
// makes the exception instance. Constant tables; to_py_err may run on any
// thread and takes the interpreter lock itself when the thread lacks it.
#pragma once

#include "python/src/exceptions.h"
#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "src/foundation/error.h"

namespace zv::py {

struct ErrorMapping {
  ExcClass cls;
  const char* code;
  bool retriable;
  const char* hint;  // null: the instance's hint is None
};

// The row of a kind index (0..31).
ErrorMapping error_mapping(int kind_index);

// Makes the exception instance for a core error: its display text as the only
// argument, then the instance attributes `code`, `retriable` and `hint`. A
// failure to set an attribute is dropped. The caller raises the result.
PyRef to_py_err(ZolvaError error);

// The same as the error outcome of a binding body.
inline PyErr core_error(ZolvaError error) {
  return PyErr::from_instance(to_py_err(std::move(error)));
}

}  // namespace zv::py
