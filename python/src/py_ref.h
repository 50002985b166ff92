// Owned Python references and the interpreter-lock bookkeeping of the binding:
// the per-thread attachment count (non-zero while binding code runs with the
// lock held), scopes that attach, release or take the lock, and the queue of
// references released by threads without the lock (drained at the next entry
// from Python). The queue is guarded by a mutex; the rest is per thread.
#pragma once

#include <utility>

#include "python/src/python.h"

namespace zv::py {

// True when the calling thread holds the interpreter lock inside binding code.
bool gil_attached();

// Releases one reference: at once when the thread is attached, otherwise
// queued for the next entry from Python. Null is ignored.
void release_ref(PyObject* obj);

// Releases every queued reference. Needs the interpreter lock.
void drain_pending_releases();

// Marks the calling thread as attached for the scope. The caller holds the
// interpreter lock already (the interpreter called us).
class GilAttached {
 public:
  GilAttached();
  ~GilAttached();
  GilAttached(const GilAttached&) = delete;
  GilAttached& operator=(const GilAttached&) = delete;
};

// Releases the interpreter lock for the scope (around core calls); the thread
// counts as detached until the lock is taken back.
class ReleaseGil {
 public:
  ReleaseGil();
  ~ReleaseGil();
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  int saved_count_;
  PyThreadState* state_;
};

// Takes the interpreter lock for the scope unless the thread holds it already
// (then nothing is taken or released), and attaches the thread.
class WithGil {
 public:
  WithGil();
  ~WithGil();
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  PyGILState_STATE state_;
};

// One owned (strong) reference. Move-only; releasing goes through release_ref,
// so a PyRef may be dropped on a thread without the interpreter lock.
class PyRef {
 public:
  PyRef() = default;
  PyRef(std::nullptr_t) {}  // NOLINT: null reference
  ~PyRef() { release_ref(obj_); }
  PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      release_ref(obj_);
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed one. Needs the interpreter lock.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  // Another reference to the same object. Needs the interpreter lock.
  PyRef clone() const { return borrow(obj_); }

  PyObject* get() const { return obj_; }
  // Gives up ownership: the caller owns the returned reference.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace zv::py
