// The frame around every entry from Python (method, getter, slot, module exec,
// deallocation): the thread counts as attached, queued releases are drained,
// the body runs, its error is raised, and a panic becomes a PanicException
// instead of unwinding into the interpreter (a panic while raising aborts).
// Runs on the calling thread with the interpreter lock held; never releases it.
#pragma once

// Stubs: a method table entry points at one of the *_stub templates below,
// instantiated with the body, e.g. `fastcall_stub<&client_put>`.

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "platform/panic.h"
#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"

namespace zv::py {

// The abort text of a panic that escapes the frame.
inline constexpr const char* kFfiBoundaryAbort = "uncaught panic at ffi boundary";
// The PanicException text for a panic that carried no message.
inline constexpr const char* kPanicWithoutMessage = "native code panicked without a message";

// Writes kFfiBoundaryAbort to stderr and aborts.
[[noreturn]] void abort_at_ffi_boundary() noexcept;

// Sets a PanicException with this message as the thread's current exception.
void raise_panic_exception(const std::string& message);

namespace trampoline_detail {

// Runs body() under the frame; `on_value` turns the value into the native
// result, `error_value` is what the interpreter gets on error or panic.
template <class Out, class Body, class OnValue>
Out run(Body& body, OnValue on_value, Out error_value) noexcept {
  try {
    GilAttached attached;
    drain_pending_releases();
    std::string panic_message;
    bool panicked = false;
    using R = std::invoke_result_t<Body&>;
    // The body's outcome lives outside the catch so that raising it is not
    // mistaken for a panic of the body.
    std::optional<R> outcome;
    try {
      outcome.emplace(body());
    } catch (const PanicError& p) {
      panicked = true;
      panic_message = p.message();
    } catch (const std::exception& e) {
      panicked = true;
      panic_message = e.what();
    } catch (...) {
      panicked = true;
      panic_message = kPanicWithoutMessage;
    }
    if (panicked) {
      raise_panic_exception(panic_message);
      return error_value;
    }
    if (!outcome->ok()) {
      std::move(*outcome).error().restore();
      return error_value;
    }
    return on_value(std::move(*outcome).value());
  } catch (...) {
    abort_at_ffi_boundary();
  }
}

}  // namespace trampoline_detail

// Object-returning entries: methods, getters, __new__, __repr__, __iter__,
// __next__, __getitem__. The body returns PyResult<PyRef>; a null PyRef with
// no error means the body set the exception itself (e.g. StopIteration).
template <class Body>
PyObject* call_trampoline(Body&& body) noexcept {
  return trampoline_detail::run<PyObject*>(
      body, [](PyRef v) { return v.release(); }, nullptr);
}

// __len__: the body returns PyResult<Py_ssize_t>; -1 on error.
template <class Body>
Py_ssize_t call_trampoline_len(Body&& body) noexcept {
  return trampoline_detail::run<Py_ssize_t>(
      body, [](Py_ssize_t n) { return n; }, -1);
}

namespace trampoline_detail {
// Adapts a PyStatus body to the value-carrying form the frame runs.
template <class Body>
auto status_body(Body& body) {
  return [&body]() -> PyResult<std::monostate> {
    PyStatus s = body();
    if (!s.ok()) return py_fail(std::move(s).error());
    return std::monostate{};
  };
}
}  // namespace trampoline_detail

// The module's execution slot: the body returns PyStatus; 0 or -1.
template <class Body>
int call_trampoline_status(Body&& body) noexcept {
  auto wrapped = trampoline_detail::status_body(body);
  return trampoline_detail::run<int>(
      wrapped, [](std::monostate) { return 0; }, -1);
}

// Deallocation: no error outcome; a panic is reported through the
// interpreter's unraisable-exception hook and the call returns normally.
template <class Body>
void call_trampoline_dealloc(Body&& body) noexcept {
  try {
    GilAttached attached;
    drain_pending_releases();
    std::string panic_message;
    if (!catch_panic(body, &panic_message)) {
      raise_panic_exception(panic_message);
      PyErr_WriteUnraisable(nullptr);
    }
  } catch (...) {
    abort_at_ffi_boundary();
  }
}

// ---- Stubs of the interpreter's calling conventions ----

template <PyResult<PyRef> (*Body)(PyObject*)>
PyObject* unary_stub(PyObject* self, PyObject* /*unused*/) noexcept {
  return call_trampoline([self] { return Body(self); });
}

template <PyResult<PyRef> (*Body)(PyObject*)>
PyObject* self_stub(PyObject* self) noexcept {
  return call_trampoline([self] { return Body(self); });
}

template <PyResult<PyRef> (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall_stub(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return call_trampoline([=] { return Body(self, args, nargs, kwnames); });
}

template <PyResult<PyRef> (*Body)(PyObject*, PyObject*, PyObject*)>
PyObject* varargs_stub(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_trampoline([=] { return Body(self, args, kwargs); });
}

template <PyResult<PyRef> (*Body)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* new_stub(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_trampoline([=] { return Body(type, args, kwargs); });
}

template <PyResult<PyRef> (*Body)(PyObject*, PyObject*)>
PyObject* subscript_stub(PyObject* self, PyObject* key) noexcept {
  return call_trampoline([=] { return Body(self, key); });
}

template <PyResult<PyRef> (*Body)(PyObject*)>
PyObject* getter_stub(PyObject* self, void* /*closure*/) noexcept {
  return call_trampoline([self] { return Body(self); });
}

template <PyResult<Py_ssize_t> (*Body)(PyObject*)>
Py_ssize_t length_stub(PyObject* self) noexcept {
  return call_trampoline_len([self] { return Body(self); });
}

template <void (*Body)(PyObject*)>
void dealloc_stub(PyObject* self) noexcept {
  call_trampoline_dealloc([self] { Body(self); });
}

}  // namespace zv::py
