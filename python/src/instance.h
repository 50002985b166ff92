// The layout of an instance of a module class: the interpreter's object
// header, the class's native value, then the borrow counter through which
// method bodies share (or, rarely, take exclusively) the value. Also the
// allocation of a new instance with a value moved in, and its release.
// Use with the interpreter lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "python/src/py_err.h"
#include "python/src/python.h"
#include "python/src/type_cell.h"

namespace zv::py {

template <class T>
struct Instance {
  PyObject ob_base;
  T value;
  // > 0: shared borrows held; -1: an exclusive borrow; 0: free.
  std::atomic<int64_t> borrow;
};

template <class T>
Instance<T>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self);
}

// Allocates an instance of `type` with `value` moved in, through the type's
// allocation slot.
template <class T>
PyResult<PyRef> new_instance(PyTypeObject* type, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return py_fail_fetch();
  Instance<T>* inst = instance_of<T>(obj);
  new (&inst->value) T(std::move(value));
  new (&inst->borrow) std::atomic<int64_t>(0);
  return PyRef::steal(obj);
}

// The deallocation body of a class whose value is T.
template <class T>
void release_instance(PyObject* self) {
  Instance<T>* inst = instance_of<T>(self);
  inst->value.~T();
  inst->borrow.~atomic();
  free_instance(self);
}

// A shared borrow of an instance's value for the scope, or the RuntimeError
// "Already mutably borrowed" while an exclusive one is held.
template <class T>
class SharedBorrow {
 public:
  static PyResult<SharedBorrow> take(PyObject* self) {
    Instance<T>* inst = instance_of<T>(self);
    int64_t cur = inst->borrow.load(std::memory_order_relaxed);
    do {
      if (cur < 0) return py_fail(PyErr::lazy(PyExc_RuntimeError, "Already mutably borrowed"));
    } while (!inst->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    return SharedBorrow(inst);
  }
  SharedBorrow(SharedBorrow&& o) noexcept : inst_(std::exchange(o.inst_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (inst_ != nullptr) inst_->borrow.fetch_sub(1, std::memory_order_release);
  }
  T& operator*() const { return inst_->value; }
  T* operator->() const { return &inst_->value; }

 private:
  explicit SharedBorrow(Instance<T>* inst) : inst_(inst) {}
  Instance<T>* inst_;
};

// An exclusive borrow, or the RuntimeError "Already borrowed".
template <class T>
class ExclusiveBorrow {
 public:
  static PyResult<ExclusiveBorrow> take(PyObject* self) {
    Instance<T>* inst = instance_of<T>(self);
    int64_t expected = 0;
    if (!inst->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
      return py_fail(PyErr::lazy(PyExc_RuntimeError, "Already borrowed"));
    }
    return ExclusiveBorrow(inst);
  }
  ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : inst_(std::exchange(o.inst_, nullptr)) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (inst_ != nullptr) inst_->borrow.store(0, std::memory_order_release);
  }
  T& operator*() const { return inst_->value; }
  T* operator->() const { return &inst_->value; }

 private:
  explicit ExclusiveBorrow(Instance<T>* inst) : inst_(inst) {}
  Instance<T>* inst_;
};

}  // namespace zv::py
