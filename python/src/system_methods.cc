// Client.flush (the engine's checkpoint through the call frame) and
// Client.capabilities (the handle's flags: no gate, so it answers also while
// and after the client closes).

#include "python/src/call_frame.h"
#include "python/src/client.h"
#include "python/src/instance.h"

namespace zv::py {

PyResult<PyRef> capabilities_dict(const EmbeddedDb& db) {
  Capabilities caps = db.capabilities();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return py_fail_fetch();
  PyRef profile = PyRef::steal(PyUnicode_FromString("PERFORMANCE"));
  if (!profile) return py_fail_fetch();
  const std::pair<const char*, PyObject*> entries[] = {
      {"profile", profile.get()},
      {"read_only", caps.read_only ? Py_True : Py_False},
      {"persistence", caps.persistence ? Py_True : Py_False},
      {"vector_search", caps.vector_search ? Py_True : Py_False},
      {"vov_queries", caps.vov_queries ? Py_True : Py_False},
  };
  for (const auto& [key, value] : entries) {
    if (PyDict_SetItemString(dict.get(), key, value) != 0) return py_fail_fetch();
  }
  return dict;
}

PyResult<PyRef> client_capabilities(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  return capabilities_dict(client->db);
}

PyResult<PyRef> client_flush(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  ZV_TRY((call_core<bool>(client->db, [](const EmbeddedDb& db) -> ZolvaResult<bool> {
    ZolvaStatus flushed = db.flush();
    if (!flushed.ok()) return make_unexpected(std::move(flushed).error());
    return true;
  })));
  return PyRef::borrow(Py_None);
}

}  // namespace zv::py
