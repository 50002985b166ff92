#include "python/src/client.h"

#include <string>

#include "python/src/args.h"
#include "python/src/call_frame.h"
#include "python/src/error_mapping.h"
#include "python/src/facades.h"
#include "python/src/instance.h"
#include "python/src/trampoline.h"
#include "src/runtime/config.h"

namespace zv::py {

namespace {

constexpr const char* kClientDoc =
    "Client(db_path, memory_limit_bytes=None, read_only=False, backend=None)\n--\n\n"
    "Python-accessible embedded ZivirOR engine.\n\n"
    "Args:\n"
    "    db_path: the database directory (created when missing, unless read-only).\n"
    "    memory_limit_bytes: a memory budget in bytes, or None for no limit.\n"
    "    read_only: open without writing; writes raise ValidationError.\n"
    "    backend: None for the default engine, \"memory\" for an in-memory\n"
    "        database, or \"rocksdb\".\n\n"
    "Use as a context manager to close at the end of a block:\n"
    "    with Client(path) as db: ...";

constexpr const char* kConnectDoc =
    "connect(path, memory_limit=None, read_only=False, backend=None)\n--\n\n"
    "Connect to a ZivirOR database.\n\n"
    "Returns a Client; the empty path opens \":memory:\". See Client for the\n"
    "arguments.";

constexpr const char* kCloseDoc =
    "close($self)\n--\n\n"
    "Flush and close the embedded engine handle.\n\n"
    "Waits until every running call of this client has returned; later calls\n"
    "raise RuntimeError(\"database is closing\"). Closing twice is harmless.";
constexpr const char* kEnterDoc =
    "__enter__($self)\n--\n\nEnter the synchronous context manager.";
constexpr const char* kExitDoc =
    "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"
    "Exit the synchronous context manager, closing the database for durability.\n\n"
    "Returns None, so an exception raised in the block propagates.";
constexpr const char* kPutDoc =
    "put($self, namespace, key, payload, metadata=None, vector=None, ttl_ms=None, sparse_vector=None)\n--\n\n"
    "Put or update a namespace-scoped persistent memory record.\n\n"
    "Args:\n"
    "    namespace, key, payload: str.\n"
    "    metadata: a dict of str to str, int, float, bool or None.\n"
    "    vector: a list of floats or a NumPy array; empty means no vector.\n"
    "    ttl_ms: the record's lifetime in milliseconds.\n"
    "    sparse_vector: a dict {dimension id: weight}.\n\n"
    "Returns:\n    The stored Record (version 1, or one more than before).";
constexpr const char* kPutBatchDoc =
    "put_batch($self, records)\n--\n\n"
    "Insert or update multiple namespace-scoped records from a list of dicts.\n\n"
    "Args:\n"
    "    records: a sequence of dicts with the keys \"key\" (required), \"namespace\"\n"
    "        (default \"default\"), \"payload\" (default \"\"), \"metadata\", \"vector\",\n"
    "        \"ttl_ms\" and \"sparse_vector\", as the arguments of put. Other keys are\n"
    "        ignored. A record that cannot be read stores nothing of the batch.\n\n"
    "Returns:\n    The stored Records, in input order.";
constexpr const char* kFlushDoc =
    "flush($self)\n--\n\n"
    "Flush WAL and HNSW index to disk for durability.\n\n"
    "Raises:\n    ValidationError: the database was opened read-only.";
constexpr const char* kCapabilitiesDoc =
    "capabilities($self)\n--\n\n"
    "Introspect the stable runtime capabilities exposed by the SDK boundary.\n\n"
    "Returns:\n"
    "    A dict with \"profile\", \"read_only\", \"persistence\", \"vector_search\"\n"
    "    and \"vov_queries\". Also answers after close.";
constexpr const char* kGraphGetterDoc =
    "Grouped graph operations (``db.graph.*``) \xE2\x80\x94 node/edge CRUD + traversals.";
constexpr const char* kSystemGetterDoc =
    "Catch-all system operations (``db.system.*``): lifecycle, metrics,\n"
    "VOV, index maintenance, import/export.";
constexpr const char* kWikiGetterDoc = "Wiki summary-archive recovery (``db.wiki.*``).";
constexpr const char* kSearchDoc =
    "search($self, namespace, query_vector, filters=None, text_query=None, top_k=10, "
    "distance_metric=None, method=None, explain=False, exclude_superseded=False, "
    "query_sparse=None, min_confidence=None, as_of_ms=None, valid_window=None, "
    "include_quarantined=False)\n--\n\n"
    "Search namespace-scoped persistent memory records by vector + filters.\n\n"
    "An empty query_vector with a text_query is a keyword search; a vector alone\n"
    "a vector search; both a hybrid search. query_sparse adds a sparse route.\n"
    "filters narrow every route by metadata equality. top_k is capped at 10000.\n\n"
    "Returns:\n    A list of SearchHit, best first.";

constexpr const char* kSearchMultiDoc =
    "search_multi($self, namespaces, query_vector, filters=None, text_query=None, top_k=10, "
    "distance_metric=None, explain=False, exclude_superseded=False, query_sparse=None, "
    "min_confidence=None, as_of_ms=None, valid_window=None, include_quarantined=False)\n--\n\n"
    "Hybrid memory search across multiple namespaces in a single call.\n\n"
    "Each namespace is searched as ``search`` would with the default route; a\n"
    "namespace name the database refuses is skipped. The hits are merged by\n"
    "score (equal scores keep namespace order) and cut to top_k.\n\n"
    "Returns:\n    A list of SearchHit, best first.";
constexpr const char* kCountDoc =
    "count($self, namespace, filters=None)\n--\n\n"
    "Count memory records in a namespace, optionally filtered by metadata.\n\n"
    "filters maps a field to a value (equality) or to an operator dict with\n"
    "$eq, $neq, $gt, $gte, $lt, $lte. Expired records are not counted.\n\n"
    "Returns:\n    The number of matching records.";
constexpr const char* kListNamespacesDoc =
    "list_namespaces($self)\n--\n\n"
    "List all namespaces currently registered in the database.\n\n"
    "Returns:\n    A list of str, ascending, each namespace once.";
constexpr const char* kDeleteByFilterDoc =
    "delete_by_filter($self, namespace, filters)\n--\n\n"
    "Delete all memory records in a namespace matching a metadata filter.\n\n"
    "filters takes the form ``count`` takes and must hold at least one\n"
    "condition. Records are deleted one at a time; should one fail, those\n"
    "deleted before it stay deleted.\n\n"
    "Returns:\n    The number of records deleted.";

constexpr const char* const kConnectParams[] = {"path", "memory_limit", "read_only", "backend"};
constexpr const char* const kNewParams[] = {"db_path", "memory_limit_bytes", "read_only", "backend"};
constexpr const char* const kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};

// The arguments of connect and the constructor, in parameter order.
struct OpenArgs {
  std::string_view path;
  std::optional<uint64_t> memory_limit;
  bool read_only = false;
  std::optional<std::string_view> backend;
};

PyResult<OpenArgs> extract_open_args(PyObject** slots, const char* const* names) {
  OpenArgs out;
  ZV_ASSIGN_OR_RETURN(out.path, extract_str(slots[0], names[0]));
  ZV_ASSIGN_OR_RETURN(out.memory_limit, extract_opt_u64(slots[1], names[1]));
  ZV_ASSIGN_OR_RETURN(out.read_only, extract_bool(slots[2], names[2], false));
  ZV_ASSIGN_OR_RETURN(out.backend, extract_opt_str(slots[3], names[3]));
  return out;
}

PyResult<PyRef> client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* slots[4];
  ZV_TRY(parse_varargs(ParamList{"Client", kNewParams, 1}, args, kwargs, slots));
  ZV_ASSIGN_OR_RETURN(OpenArgs a, extract_open_args(slots, kNewParams));
  return lib::open_client(type, a.path, a.memory_limit, a.read_only, a.backend);
}

PyResult<PyRef> connect_body(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* slots[4];
  ZV_TRY(parse_fastcall(ParamList{"connect", kConnectParams, 1}, args, nargs, kwnames, slots));
  ZV_ASSIGN_OR_RETURN(OpenArgs a, extract_open_args(slots, kConnectParams));
  std::string_view path = a.path.empty() ? std::string_view(":memory:") : a.path;
  return lib::open_client(g_client_cell.get(), path, a.memory_limit, a.read_only, a.backend);
}

// Shuts the gate (waiting for running calls with the lock released), then
// closes a clone of the handle: a flush, then the shared engine slot emptied.
void close_client(const ClientState& client) {
  std::shared_ptr<OperationGate> gate = client.gate;
  {
    ReleaseGil unlocked;
    gate->begin_close();
  }
  {
    ReleaseGil unlocked;
    EmbeddedDb clone = client.db.clone();
    // Never fails: a failed flush only warns, a second close succeeds.
    (void)clone.close();
  }
}

PyResult<PyRef> client_close(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  close_client(*client);
  return PyRef::borrow(Py_None);
}

PyResult<PyRef> client_enter(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  return PyRef::borrow(self);
}

PyResult<PyRef> client_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  ZV_TRY(parse_fastcall(ParamList{"__exit__", kExitParams, 3}, args, nargs, kwnames, slots));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  close_client(*client);
  return PyRef::borrow(Py_None);
}

const char* flag(bool b) { return b ? "true" : "false"; }

PyResult<PyRef> client_repr(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  Capabilities caps = client->db.capabilities();
  std::string text = std::string("Client(profile=PERFORMANCE, read_only=") + flag(caps.read_only) +
                     ", vector_search=" + flag(caps.vector_search) + ", persistence=" +
                     flag(caps.persistence) + ")";
  PyObject* out = text_to_py(text);
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyMethodDef g_client_methods[] = {
    {"put_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_put_batch>)),
     METH_FASTCALL | METH_KEYWORDS, kPutBatchDoc},
    {"put", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_put>)),
     METH_FASTCALL | METH_KEYWORDS, kPutDoc},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_search>)),
     METH_FASTCALL | METH_KEYWORDS, kSearchDoc},
    {"search_multi",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_search_multi>)),
     METH_FASTCALL | METH_KEYWORDS, kSearchMultiDoc},
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_count>)),
     METH_FASTCALL | METH_KEYWORDS, kCountDoc},
    {"delete_by_filter",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_delete_by_filter>)),
     METH_FASTCALL | METH_KEYWORDS, kDeleteByFilterDoc},
    {"list_namespaces", &unary_stub<&client_list_namespaces>, METH_NOARGS, kListNamespacesDoc},
    {"flush", &unary_stub<&client_flush>, METH_NOARGS, kFlushDoc},
    {"capabilities", &unary_stub<&client_capabilities>, METH_NOARGS, kCapabilitiesDoc},
    {"close", &unary_stub<&client_close>, METH_NOARGS, kCloseDoc},
    {"__enter__", &unary_stub<&client_enter>, METH_NOARGS, kEnterDoc},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&client_exit>)),
     METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_client_getset[] = {
    {"memory", &getter_stub<&client_memory>, nullptr, nullptr, nullptr},
    {"graph", &getter_stub<&client_graph>, nullptr, kGraphGetterDoc, nullptr},
    {"system", &getter_stub<&client_system>, nullptr, kSystemGetterDoc, nullptr},
    {"wiki", &getter_stub<&client_wiki>, nullptr, kWikiGetterDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_client_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClientDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&new_stub<&client_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<ClientState>>)},
    {Py_tp_repr, reinterpret_cast<void*>(&self_stub<&client_repr>)},
    {Py_tp_methods, g_client_methods},
    {Py_tp_getset, g_client_getset},
    {0, nullptr},
};
PyType_Spec g_client_spec = {"builtins.Client", sizeof(Instance<ClientState>), 0, kClassFlags,
                             g_client_slots};

PyMethodDef g_connect_def = {
    "connect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_stub<&connect_body>)),
    METH_FASTCALL | METH_KEYWORDS, kConnectDoc};

}  // namespace

TypeCell g_client_cell("Client", &g_client_spec);

PyResult<PyRef> make_connect_function(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return py_fail_fetch();
  PyObject* fn = PyCFunction_NewEx(&g_connect_def, module, module_name.get());
  if (fn == nullptr) return py_fail_fetch();
  return PyRef::steal(fn);
}

}  // namespace zv::py

namespace zv::py::lib {

namespace {

constexpr const char* kUnknownBackendTail =
    "\" \xE2\x80\x94 known values: rocksdb, memory (or None for the default, morva)";

}  // namespace

PyResult<PyRef> open_client(PyTypeObject* type, std::string_view path,
                            std::optional<uint64_t> memory_limit, bool read_only,
                            std::optional<std::string_view> backend) {
  BackendKind kind = BackendKind::kMorva;
  if (backend) {
    if (*backend == "rocksdb") {
      kind = BackendKind::kRocksDb;
    } else if (*backend == "memory") {
      kind = BackendKind::kInMemory;
    } else {
      return py_fail(PyErr::lazy(PyExc_ValueError,
                                 "Unknown backend \"" + std::string(*backend) + kUnknownBackendTail));
    }
  }
  Config config = Config::from_env();
  config.memory_limit = memory_limit;
  config.storage_path = std::string(path);
  config.read_only = read_only;
  config.backend = kind;
  std::optional<EmbeddedDb> db;
  std::optional<ZolvaError> failure;
  {
    ReleaseGil unlocked;
    ZolvaResult<EmbeddedDb> opened = EmbeddedDb::open_with_config(std::move(config));
    if (opened.ok()) {
      db.emplace(std::move(opened).value());
    } else {
      failure.emplace(std::move(opened).error());
    }
  }
  if (failure) return py_fail(core_error(std::move(*failure)));
  return new_instance<ClientState>(type, ClientState{std::move(*db), OperationGate::create()});
}

}  // namespace zv::py::lib
