// MemoryClient's own record methods, `get` and `delete`: the facade's frame
// holds a shared borrow of the facade and of its Client, and a reference to
// the Client, until the core call has returned.

#include <optional>
#include <string>

#include "python/src/args.h"
#include "python/src/call_frame.h"
#include "python/src/client.h"
#include "python/src/facades.h"
#include "python/src/instance.h"
#include "python/src/record_type.h"

namespace zv::py {

namespace {

constexpr const char* const kKeyParams[] = {"namespace", "key"};

struct KeyArgs {
  std::string ns;
  std::string key;
};

PyResult<KeyArgs> extract_key_args(const char* function, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* a[2];
  ZV_TRY(parse_fastcall(ParamList{function, kKeyParams, 2}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  ZV_ASSIGN_OR_RETURN(std::string_view key, extract_str(a[1], "key"));
  return KeyArgs{std::string(ns), std::string(key)};
}

// Runs op(db, ns, key) inside the facade frame and the Client's gate; the
// gate is left before the result is returned.
template <class T, class Op>
PyResult<T> facade_key_call(PyObject* self, const KeyArgs& k, Op op) {
  ZV_ASSIGN_OR_RETURN(auto facade, SharedBorrow<FacadeState>::take(self));
  PyRef client_obj = facade->client.clone();
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(client_obj.get()));
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  return call_core<T>(client->db, [&](const EmbeddedDb& db) { return op(db, k.ns, k.key); });
}

}  // namespace

PyResult<PyRef> memory_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ZV_ASSIGN_OR_RETURN(KeyArgs k, extract_key_args("get", args, nargs, kwnames));
  ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> found,
                      (facade_key_call<std::optional<MemoryRecord>>(
                          self, k, [](const EmbeddedDb& db, const std::string& ns, const std::string& key) {
                            return db.get(ns, key);
                          })));
  if (!found) return PyRef::borrow(Py_None);
  return record_into_py(std::move(*found));
}

PyResult<PyRef> memory_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ZV_ASSIGN_OR_RETURN(KeyArgs k, extract_key_args("delete", args, nargs, kwnames));
  ZV_ASSIGN_OR_RETURN(bool deleted, (facade_key_call<bool>(
                                        self, k, [](const EmbeddedDb& db, const std::string& ns,
                                                    const std::string& key) { return db.del(ns, key); })));
  return PyRef::borrow(deleted ? Py_True : Py_False);
}

}  // namespace zv::py
