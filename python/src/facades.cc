#include "python/src/facades.h"

#include "python/src/instance.h"
#include "python/src/trampoline.h"

namespace zv::py {

namespace {

// The names the forwarders look up on the Client, one array per method so
// that each forwarder is its own instantiation.
constexpr char kPut[] = "put";
constexpr char kPutBatch[] = "put_batch";
constexpr char kSearch[] = "search";
constexpr char kSearchMulti[] = "search_multi";
constexpr char kCount[] = "count";
constexpr char kDeleteByFilter[] = "delete_by_filter";
constexpr char kListNamespaces[] = "list_namespaces";
constexpr char kCapabilities[] = "capabilities";
constexpr char kFlush[] = "flush";
constexpr char kClose[] = "close";

// Looks the method up on the Client again on every call and calls it with
// the caller's own argument tuple and keyword dict; its result or exception
// passes through untouched.
template <const char* Name>
PyResult<PyRef> forward(PyObject* self, PyObject* args, PyObject* kwargs) {
  ZV_ASSIGN_OR_RETURN(auto facade, SharedBorrow<FacadeState>::take(self));
  PyRef method = PyRef::steal(PyObject_GetAttrString(facade->client.get(), Name));
  if (!method) return py_fail_fetch();
  PyRef out = PyRef::steal(PyObject_Call(method.get(), args, kwargs));
  if (!out) return py_fail_fetch();
  return out;
}

#define ZV_FORWARDER(name, id)                                                               \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&varargs_stub<&forward<id>>)), \
   METH_VARARGS | METH_KEYWORDS,                                                             \
   #name "($self, *args, **kwargs)\n--\n\nDelegates to ``Client." #name                      \
         "`` \xE2\x80\x94 same signature, same result."}

constexpr const char* kMemoryDoc =
    "Grouped memory-record operations (``db.memory.*``): namespace+key records,\n"
    "hybrid and pure-ANN search, supersede, snippets, TTL housekeeping.";
constexpr const char* kGraphDoc =
    "Grouped graph operations (``db.graph.*``): node/edge CRUD and traversals.\n\n"
    "Node operations are named ``insert_node``, ``get_node`` and ``delete_node``\n"
    "and address a node by its id, a 128-bit unsigned integer. Memory records\n"
    "are read and deleted by namespace and key through ``memory.get`` and\n"
    "``memory.delete``.";
constexpr const char* kSystemDoc =
    "Catch-all system operations (``db.system.*``): lifecycle, capabilities,\n"
    "hardware profile, metrics, VOV query engine, index maintenance, import/export.";
constexpr const char* kWikiDoc = "Wiki summary-archive recovery (``db.wiki.*``).";

constexpr const char* kGetDoc =
    "get($self, namespace, key)\n--\n\n"
    "Get a namespace-scoped persistent memory record.\n\n"
    "Returns:\n    The Record, or None when no live record is stored under the key.";
constexpr const char* kDeleteDoc =
    "delete($self, namespace, key)\n--\n\n"
    "Delete a namespace-scoped persistent memory record.\n\n"
    "Returns:\n    True when a record was deleted, False when none existed.";
constexpr const char* kListDoc =
    "list($self, namespace, filters=None, limit=100, cursor=None, exclude_superseded=False, "
    "as_of_ms=None, valid_window=None, include_quarantined=False, min_confidence=None)\n--\n\n"
    "List namespace-scoped persistent memory records.\n\n"
    "filters selects by metadata equality. The cursor counts index entries, not\n"
    "records: pass a page's next_cursor as the cursor of the next call. A page\n"
    "may hold fewer than limit records (expired or filtered-out entries are\n"
    "dropped) and still carry a cursor; next_cursor is None only when no\n"
    "further entries follow.\n\n"
    "Returns:\n    A ListResult page; its records become Record objects when read.";

PyMethodDef g_memory_methods[] = {
    ZV_FORWARDER(put, kPut),
    ZV_FORWARDER(put_batch, kPutBatch),
    ZV_FORWARDER(delete_by_filter, kDeleteByFilter),
    ZV_FORWARDER(count, kCount),
    ZV_FORWARDER(search, kSearch),
    ZV_FORWARDER(search_multi, kSearchMulti),
    ZV_FORWARDER(list_namespaces, kListNamespaces),
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&memory_get>)),
     METH_FASTCALL | METH_KEYWORDS, kGetDoc},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&memory_delete>)),
     METH_FASTCALL | METH_KEYWORDS, kDeleteDoc},
    {"list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&memory_list>)),
     METH_FASTCALL | METH_KEYWORDS, kListDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_system_methods[] = {
    ZV_FORWARDER(capabilities, kCapabilities),
    ZV_FORWARDER(flush, kFlush),
    ZV_FORWARDER(close, kClose),
    {nullptr, nullptr, 0, nullptr},
};

// The graph and wiki facades get their forwarders with the methods they reach.
PyMethodDef g_no_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

#undef ZV_FORWARDER

constexpr unsigned int kFacadeFlags = kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Slot g_memory_slots[] = {
    {Py_tp_doc, const_cast<char*>(kMemoryDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<FacadeState>>)},
    {Py_tp_methods, g_memory_methods},
    {0, nullptr},
};
PyType_Slot g_graph_slots[] = {
    {Py_tp_doc, const_cast<char*>(kGraphDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<FacadeState>>)},
    {Py_tp_methods, g_no_methods},
    {0, nullptr},
};
PyType_Slot g_system_slots[] = {
    {Py_tp_doc, const_cast<char*>(kSystemDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<FacadeState>>)},
    {Py_tp_methods, g_system_methods},
    {0, nullptr},
};
PyType_Slot g_wiki_slots[] = {
    {Py_tp_doc, const_cast<char*>(kWikiDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<FacadeState>>)},
    {Py_tp_methods, g_no_methods},
    {0, nullptr},
};

PyType_Spec g_memory_spec = {"builtins.MemoryClient", sizeof(Instance<FacadeState>), 0, kFacadeFlags,
                             g_memory_slots};
PyType_Spec g_graph_spec = {"builtins.GraphClient", sizeof(Instance<FacadeState>), 0, kFacadeFlags,
                            g_graph_slots};
PyType_Spec g_system_spec = {"builtins.SystemClient", sizeof(Instance<FacadeState>), 0, kFacadeFlags,
                             g_system_slots};
PyType_Spec g_wiki_spec = {"builtins.WikiClient", sizeof(Instance<FacadeState>), 0, kFacadeFlags,
                           g_wiki_slots};

// The type is made on first use; the client reference is taken first and
// dropped again should the allocation fail.
PyResult<PyRef> new_facade(TypeCell& cell, PyObject* client) {
  PyRef ref = PyRef::borrow(client);
  ZV_ASSIGN_OR_RETURN(PyTypeObject * type, cell.get_or_create());
  return new_instance<FacadeState>(type, FacadeState{std::move(ref)});
}

}  // namespace

TypeCell g_memory_client_cell("MemoryClient", &g_memory_spec);
TypeCell g_graph_client_cell("GraphClient", &g_graph_spec);
TypeCell g_system_client_cell("SystemClient", &g_system_spec);
TypeCell g_wiki_client_cell("WikiClient", &g_wiki_spec);

PyResult<PyRef> client_memory(PyObject* client) { return new_facade(g_memory_client_cell, client); }
PyResult<PyRef> client_graph(PyObject* client) { return new_facade(g_graph_client_cell, client); }
PyResult<PyRef> client_system(PyObject* client) { return new_facade(g_system_client_cell, client); }
PyResult<PyRef> client_wiki(PyObject* client) { return new_facade(g_wiki_client_cell, client); }

}  // namespace zv::py
