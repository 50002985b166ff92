// The steps every gated Client method shares once its arguments are
// extracted: entering the client's gate (RuntimeError "database is closing"
// once `close` began) and calling the core on a clone of the handle with the
// interpreter lock released, a core error mapped to its exception before the
// lock is taken back. The guard and the lock scope undo themselves on every
// path out, panics included.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "python/src/client.h"
#include "python/src/error_mapping.h"
#include "python/src/gate.h"
#include "python/src/py_err.h"
#include "python/src/py_ref.h"

namespace zv::py {

inline PyResult<std::unique_ptr<GateGuard>> enter_gate(const ClientState& client) {
  std::unique_ptr<GateGuard> guard = client.gate->enter();
  if (!guard) return py_fail(PyErr::lazy(PyExc_RuntimeError, "database is closing"));
  return guard;
}

// Runs op(clone) -> ZolvaResult<T> with the lock released; the clone is
// dropped before the lock is retaken.
template <class T, class Op>
PyResult<T> call_core(const EmbeddedDb& db, Op&& op) {
  std::optional<T> value;
  PyRef error;
  {
    ReleaseGil unlocked;
    EmbeddedDb clone = db.clone();
    auto result = op(static_cast<const EmbeddedDb&>(clone));
    if (result.ok()) {
      value.emplace(std::move(result).value());
    } else {
      error = to_py_err(std::move(result).error());
    }
  }
  if (error) return py_fail(PyErr::from_instance(std::move(error)));
  return std::move(*value);
}

}  // namespace zv::py
