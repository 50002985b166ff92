#include "python/src/py_ref.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace zv::py {

namespace {

thread_local int t_attach_count = 0;

// References dropped by threads without the interpreter lock.
struct PendingReleases {
  std::mutex mu;                  // protects objects
  std::vector<PyObject*> objects;
  std::atomic<bool> dirty{false};  // cheap check on every entry
};

PendingReleases& pending() {
  static PendingReleases p;
  return p;
}

}  // namespace

bool gil_attached() { return t_attach_count > 0; }

void release_ref(PyObject* obj) {
  if (obj == nullptr) return;
  if (gil_attached()) {
    Py_DECREF(obj);
    return;
  }
  PendingReleases& p = pending();
  std::scoped_lock lock(p.mu);
  p.objects.push_back(obj);
  p.dirty.store(true, std::memory_order_release);
}

void drain_pending_releases() {
  PendingReleases& p = pending();
  if (!p.dirty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> objects;
  {
    std::scoped_lock lock(p.mu);
    objects.swap(p.objects);
    p.dirty.store(false, std::memory_order_release);
  }
  // Outside the mutex: a release may run Python code that queues again.
  for (PyObject* obj : objects) Py_DECREF(obj);
}

GilAttached::GilAttached() { ++t_attach_count; }
GilAttached::~GilAttached() { --t_attach_count; }

ReleaseGil::ReleaseGil() : saved_count_(t_attach_count) {
  t_attach_count = 0;
  state_ = PyEval_SaveThread();
}

ReleaseGil::~ReleaseGil() {
  PyEval_RestoreThread(state_);
  t_attach_count = saved_count_;
}

WithGil::WithGil() : state_(PyGILState_Ensure()) { ++t_attach_count; }

WithGil::~WithGil() {
  --t_attach_count;
  PyGILState_Release(state_);
}

}  // namespace zv::py
