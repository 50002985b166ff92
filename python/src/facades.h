// The grouped facades of a Client (`memory`, `graph`, `system`, `wiki`):
// small objects holding a strong reference to their Client, whose methods
// forward to the Client method of the same name. `MemoryClient` also has the
// record methods of its own (`get`, `delete`). Needs the interpreter lock.
#pragma once

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "python/src/type_cell.h"

namespace zv::py {

// The native value of a facade instance: its Client object.
struct FacadeState {
  PyRef client;
};

extern TypeCell g_memory_client_cell;
extern TypeCell g_graph_client_cell;
extern TypeCell g_system_client_cell;
extern TypeCell g_wiki_client_cell;

// The Client's getters: a new facade over `client` on every read.
PyResult<PyRef> client_memory(PyObject* client);
PyResult<PyRef> client_graph(PyObject* client);
PyResult<PyRef> client_system(PyObject* client);
PyResult<PyRef> client_wiki(PyObject* client);

// MemoryClient's own methods, defined beside the record reads.
PyResult<PyRef> memory_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> memory_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> memory_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zv::py
