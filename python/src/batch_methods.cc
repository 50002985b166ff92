// Client.put_batch: the records read from a list of dicts (dict item lookups
// only, every record converted before anything is written), one core call
// for the whole batch, the stored records back in input order.

#include <string>
#include <utility>
#include <vector>

#include "python/src/args.h"
#include "python/src/call_frame.h"
#include "python/src/client.h"
#include "python/src/field_values.h"
#include "python/src/instance.h"
#include "python/src/list_conversions.h"
#include "python/src/record_type.h"
#include "python/src/vectors.h"
#include "src/record/memory_input.h"

namespace zv::py {

PyErr put_batch_metadata_type_error() {
  return PyErr::lazy(PyExc_TypeError, "put_batch: record 'metadata' must be a dict");
}

PyErr put_batch_sparse_vector_type_error() {
  return PyErr::lazy(PyExc_TypeError, "put_batch: record 'sparse_vector' must be a dict");
}

namespace {

constexpr const char* const kPutBatchParams[] = {"records"};
constexpr const char* kNotADict =
    "put_batch: each record must be a dict, e.g. {\"namespace\": \"ns\", \"key\": \"k\", \"payload\": \"p\"}";
constexpr const char* kMissingKey = "put_batch: record is missing required key 'key'";

// record[name], borrowed; null when absent or None. A lookup that raises
// (a key whose comparison fails) ends the call with that error.
PyResult<PyObject*> lookup(PyObject* record, const char* name) {
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key) return py_fail_fetch();
  PyObject* value = PyDict_GetItemWithError(record, key.get());
  if (value == nullptr && PyErr_Occurred()) return py_fail_fetch();
  return value == Py_None ? nullptr : value;
}

PyResult<std::string> text_of(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return py_fail(type_error(obj, "str"));
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) return py_fail_fetch();
  return std::string(p, static_cast<size_t>(n));
}

PyResult<MemoryInput> record_input(PyObject* record) {
  if (!PyDict_Check(record)) return py_fail(PyErr::lazy(PyExc_TypeError, kNotADict));
  MemoryInput input;
  {
    PyRef key_name = PyRef::steal(PyUnicode_FromString("key"));
    if (!key_name) return py_fail_fetch();
    PyObject* key = PyDict_GetItemWithError(record, key_name.get());
    if (key == nullptr) {
      if (PyErr_Occurred()) return py_fail_fetch();
      return py_fail(PyErr::lazy(PyExc_ValueError, kMissingKey));
    }
    ZV_ASSIGN_OR_RETURN(input.key, text_of(key));
  }
  ZV_ASSIGN_OR_RETURN(PyObject * ns, lookup(record, "namespace"));
  if (ns != nullptr) {
    ZV_ASSIGN_OR_RETURN(input.ns, text_of(ns));
  } else {
    input.ns = "default";
  }
  ZV_ASSIGN_OR_RETURN(PyObject * payload, lookup(record, "payload"));
  if (payload != nullptr) {
    ZV_ASSIGN_OR_RETURN(input.payload, text_of(payload));
  }
  ZV_ASSIGN_OR_RETURN(PyObject * metadata, lookup(record, "metadata"));
  if (metadata != nullptr) {
    if (!PyDict_Check(metadata)) return py_fail(put_batch_metadata_type_error());
    ZV_ASSIGN_OR_RETURN(input.metadata, metadata_from_py(metadata));
  }
  ZV_ASSIGN_OR_RETURN(PyObject * vector, lookup(record, "vector"));
  // Unlike put, an empty vector is passed on as given.
  if (vector != nullptr) {
    ZV_ASSIGN_OR_RETURN(input.vector, extract_vector(vector));
  }
  ZV_ASSIGN_OR_RETURN(PyObject * ttl, lookup(record, "ttl_ms"));
  if (ttl != nullptr) {
    PyRef index = PyRef::steal(PyNumber_Index(ttl));
    if (!index) return py_fail_fetch();
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py_fail_fetch();
    input.ttl_ms = static_cast<uint64_t>(v);
  }
  ZV_ASSIGN_OR_RETURN(PyObject * sparse, lookup(record, "sparse_vector"));
  if (sparse != nullptr) {
    if (!PyDict_Check(sparse)) return py_fail(put_batch_sparse_vector_type_error());
    ZV_ASSIGN_OR_RETURN(input.sparse_vector, sparse_vector_from_py(sparse));
  }
  return input;
}

}  // namespace

PyResult<PyRef> client_put_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* a[1];
  ZV_TRY(parse_fastcall(ParamList{"put_batch", kPutBatchParams, 1}, args, nargs, kwnames, a));
  PyResult<std::vector<PyRef>> listed = extract_object_list(a[0]);
  if (!listed.ok()) return py_fail(with_note(std::move(listed).error(), "records"));
  std::vector<PyRef> records = std::move(listed).value();
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  std::vector<MemoryInput> inputs;
  inputs.reserve(records.size());
  for (const PyRef& record : records) {
    ZV_ASSIGN_OR_RETURN(MemoryInput input, record_input(record.get()));
    inputs.push_back(std::move(input));
  }
  records.clear();
  ZV_ASSIGN_OR_RETURN(std::vector<MemoryRecord> stored,
                      (call_core<std::vector<MemoryRecord>>(client->db, [&](const EmbeddedDb& db) {
                        return db.put_batch(std::move(inputs));
                      })));
  guard.reset();
  return records_to_py_list(std::move(stored));
}

}  // namespace zv::py
