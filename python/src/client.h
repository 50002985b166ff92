// The module's Client class: one SDK handle and a shared reference to the
// client's OperationGate. Opened by `connect` or the constructor, closed by
// `close` (or `__exit__`) once every running call has left the gate; a
// Client dropped without `close` releases its handle without a flush.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "python/src/gate.h"
#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "python/src/type_cell.h"
#include "src/sdk/embedded_db.h"

namespace zv::py {

// The native value of a Client instance.
struct ClientState {
  EmbeddedDb db;
  std::shared_ptr<OperationGate> gate;
};

extern TypeCell g_client_cell;

// The module function `connect`, bound to `module`.
PyResult<PyRef> make_connect_function(PyObject* module);

// Method bodies of Client defined beside their groups.
PyResult<PyRef> client_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> client_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> client_search_multi(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyResult<PyRef> client_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> client_list_namespaces(PyObject* self);
PyResult<PyRef> client_delete_by_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
PyResult<PyRef> client_put_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> client_flush(PyObject* self);
PyResult<PyRef> client_capabilities(PyObject* self);

// The capability dict of a handle: "profile", "read_only", "persistence",
// "vector_search", "vov_queries", in that order.
PyResult<PyRef> capabilities_dict(const EmbeddedDb& db);

}  // namespace zv::py

namespace zv::py::lib {

// Maps the backend name (before any environment read), reads the
// configuration from the environment, overwrites path, memory limit,
// read-only flag and backend, opens with the interpreter lock released and
// wraps the handle in a new instance of `type`.
PyResult<PyRef> open_client(PyTypeObject* type, std::string_view path,
                            std::optional<uint64_t> memory_limit, bool read_only,
                            std::optional<std::string_view> backend);

}  // namespace zv::py::lib
