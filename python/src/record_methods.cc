// Client.put: plain type checks before the gate, the metadata, vector and
// sparse conversions inside it, one core write on a handle clone with the
// lock released, the Record built after the gate is left.

#include <string>
#include <utility>

#include "python/src/args.h"
#include "python/src/call_frame.h"
#include "python/src/client.h"
#include "python/src/field_values.h"
#include "python/src/instance.h"
#include "python/src/record_type.h"
#include "python/src/vectors.h"
#include "src/record/memory_input.h"

namespace zv::py {

namespace {

constexpr const char* const kPutParams[] = {
    "namespace", "key", "payload", "metadata", "vector", "ttl_ms", "sparse_vector",
};

}  // namespace

PyResult<PyRef> client_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[7];
  ZV_TRY(parse_fastcall(ParamList{"put", kPutParams, 3}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  ZV_ASSIGN_OR_RETURN(std::string_view key, extract_str(a[1], "key"));
  ZV_ASSIGN_OR_RETURN(std::string_view payload, extract_str(a[2], "payload"));
  ZV_ASSIGN_OR_RETURN(PyObject * metadata, extract_opt_dict(a[3], "metadata"));
  PyObject* vector = a[4] == Py_None ? nullptr : a[4];
  ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> ttl_ms, extract_opt_u64(a[5], "ttl_ms"));
  ZV_ASSIGN_OR_RETURN(PyObject * sparse, extract_opt_dict(a[6], "sparse_vector"));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  MemoryInput input;
  input.ns = std::string(ns);
  input.key = std::string(key);
  input.payload = std::string(payload);
  ZV_ASSIGN_OR_RETURN(input.metadata, metadata_from_py(metadata));
  if (vector != nullptr) {
    ZV_ASSIGN_OR_RETURN(std::vector<float> values, extract_vector(vector));
    // An empty vector stores no vector at all.
    if (!values.empty()) input.vector = std::move(values);
  }
  ZV_ASSIGN_OR_RETURN(input.sparse_vector, sparse_vector_from_py(sparse));
  input.ttl_ms = ttl_ms;

  ZV_ASSIGN_OR_RETURN(MemoryRecord stored, (call_core<MemoryRecord>(client->db, [&](const EmbeddedDb& db) {
                        return db.put(std::move(input));
                      })));
  guard.reset();
  return record_into_py(std::move(stored));
}

}  // namespace zv::py
