// A Python exception as a value: what a binding body returns instead of
// raising, either already made (an instance) or still unmade (a class and a
// message, made only when raised). Move-only; PyResult<T> carries a value or
// one PyErr. Building and raising need the interpreter lock; dropping does not.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"

namespace zv::py {

class PyErr {
 public:
  // Takes the exception currently set on the thread and clears it; a
  // SystemError when none is set.
  static PyErr fetch();
  // An exception of `type` with `message` as its only argument, made when raised.
  static PyErr lazy(PyObject* type, std::string message);
  // A made exception instance.
  static PyErr from_instance(PyRef instance);

  // Sets it as the thread's current exception (consumes it).
  void restore() &&;
  // The exception instance, made now if still unmade (consumes it).
  PyRef into_instance() &&;

  bool is_made() const { return static_cast<bool>(value_); }
  // The exception class (borrowed).
  PyObject* type() const { return type_.get(); }

 private:
  PyErr() = default;
  PyRef type_;
  PyRef value_;      // null while unmade
  PyRef traceback_;  // only for fetched exceptions
  std::string message_;
};

template <class T>
using PyResult = Result<T, PyErr>;
using PyStatus = Result<void, PyErr>;

// The error outcome of a binding body: make_unexpected around a PyErr.
inline Unexpected<PyErr> py_fail(PyErr e) { return make_unexpected(std::move(e)); }
// Fails with the exception currently set on the thread.
inline Unexpected<PyErr> py_fail_fetch() { return make_unexpected(PyErr::fetch()); }

// UTF-8 text as a str; invalid bytes become U+FFFD, so this fails only when
// memory runs out (null with the exception set).
PyObject* text_to_py(std::string_view text);

}  // namespace zv::py
