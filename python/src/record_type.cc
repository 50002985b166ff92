#include "python/src/record_type.h"

#include "python/src/args.h"
#include "python/src/instance.h"
#include "python/src/record_fields.h"
#include "python/src/trampoline.h"

namespace zv::py {

namespace {

constexpr const char* kRecordDoc =
    "A Python-accessible memory record with typed getter properties.\n\n"
    "Every property converts the stored field when read; ``record[name]`` gives\n"
    "the property of that name.";

template <RecordField F>
PyResult<PyRef> record_get(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto r, SharedBorrow<MemoryRecord>::take(self));
  return record_field_to_py(*r, F);
}

PyResult<PyRef> record_getitem(PyObject* self, PyObject* key) {
  ZV_ASSIGN_OR_RETURN(auto r, SharedBorrow<MemoryRecord>::take(self));
  ZV_ASSIGN_OR_RETURN(std::string_view name, extract_str(key, "key"));
  std::optional<RecordField> field = record_field_by_name(name);
  if (!field) return py_fail(key_error("Record has no field '" + std::string(name) + "'"));
  return record_field_to_py(*r, *field);
}

PyResult<PyRef> record_repr(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto r, SharedBorrow<MemoryRecord>::take(self));
  const size_t dim = r->vector ? r->vector->size() : 0;
  PyObject* out = text_to_py("Record(namespace=" + r->ns + ", key=" + r->key + ", dim=" + std::to_string(dim) + ")");
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

#define ZV_RECORD_GETTER(F) \
  {const_cast<char*>(record_field_name(RecordField::F)), &getter_stub<&record_get<RecordField::F>>, nullptr, nullptr, nullptr}

PyGetSetDef g_record_getset[] = {
    ZV_RECORD_GETTER(kNamespace),        ZV_RECORD_GETTER(kKey),
    ZV_RECORD_GETTER(kPayload),          ZV_RECORD_GETTER(kMetadata),
    ZV_RECORD_GETTER(kVector),           ZV_RECORD_GETTER(kCreatedAtMs),
    ZV_RECORD_GETTER(kUpdatedAtMs),      ZV_RECORD_GETTER(kVersion),
    ZV_RECORD_GETTER(kNodeId),           ZV_RECORD_GETTER(kExpiresAtMs),
    ZV_RECORD_GETTER(kSupersededBy),     ZV_RECORD_GETTER(kSupersededAtMs),
    ZV_RECORD_GETTER(kConfidenceClass),  ZV_RECORD_GETTER(kConfidence),
    ZV_RECORD_GETTER(kLastValidatedAtMs), ZV_RECORD_GETTER(kDerivedFrom),
    ZV_RECORD_GETTER(kValidAtMs),        ZV_RECORD_GETTER(kInvalidAtMs),
    ZV_RECORD_GETTER(kQuarantinedAtMs),  ZV_RECORD_GETTER(kQuarantineReason),
    ZV_RECORD_GETTER(kQuarantinedBy),    ZV_RECORD_GETTER(kQuarantineReviewDueMs),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_record_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRecordDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<MemoryRecord>>)},
    {Py_mp_subscript, reinterpret_cast<void*>(&subscript_stub<&record_getitem>)},
    {Py_tp_repr, reinterpret_cast<void*>(&self_stub<&record_repr>)},
    {Py_tp_getset, g_record_getset},
    {0, nullptr},
};
PyType_Spec g_record_spec = {"builtins.Record", sizeof(Instance<MemoryRecord>), 0,
                             kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_record_slots};

}  // namespace

TypeCell g_record_cell("Record", &g_record_spec);

PyResult<PyRef> record_into_py(MemoryRecord record) {
  return new_instance<MemoryRecord>(g_record_cell.get(), std::move(record));
}

PyResult<PyRef> records_to_py_list(std::vector<MemoryRecord> records) {
  PyTypeObject* type = g_record_cell.get();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < records.size(); ++i) {
    ZV_ASSIGN_OR_RETURN(PyRef rec, new_instance<MemoryRecord>(type, std::move(records[i])));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), rec.release());
  }
  return list;
}

}  // namespace zv::py
