#include "python/src/instance.h"
#include "python/src/record_fields.h"
#include "python/src/record_type.h"
#include "python/src/trampoline.h"
#include "python/src/vectors.h"

namespace zv::py {

namespace {

struct HitValue {
  MemoryRecord record;
  float score = 0.0f;
};

constexpr const char* kSearchHitDoc =
    "A Python-accessible search hit returned by `search`.\n\n"
    "The record's fields as typed properties, the hit's ``score`` and ``id``\n"
    "(the record's node id); NumPy reads the hit's vector through\n"
    "``__array_interface__``.";

template <RecordField F>
PyResult<PyRef> hit_get(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto h, SharedBorrow<HitValue>::take(self));
  return record_field_to_py(h->record, F);
}

PyResult<PyRef> hit_score(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto h, SharedBorrow<HitValue>::take(self));
  PyObject* out = PyFloat_FromDouble(static_cast<double>(h->score));
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyResult<PyRef> hit_array_interface(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto h, SharedBorrow<HitValue>::take(self));
  if (!h->record.vector) return py_fail(PyErr::lazy(PyExc_RuntimeError, "SearchHit has no vector"));
  return array_interface(*h->record.vector);
}

PyResult<PyRef> hit_repr(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto h, SharedBorrow<HitValue>::take(self));
  const size_t dim = h->record.vector ? h->record.vector->size() : 0;
  PyObject* out = text_to_py("SearchHit(namespace=" + h->record.ns + ", key=" + h->record.key +
                             ", score=" + fixed4_text(h->score) + ", dim=" + std::to_string(dim) + ")");
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

#define ZV_HIT_GETTER(F) \
  {const_cast<char*>(record_field_name(RecordField::F)), &getter_stub<&hit_get<RecordField::F>>, nullptr, nullptr, nullptr}

PyGetSetDef g_hit_getset[] = {
    ZV_HIT_GETTER(kNamespace),
    ZV_HIT_GETTER(kKey),
    ZV_HIT_GETTER(kPayload),
    ZV_HIT_GETTER(kMetadata),
    ZV_HIT_GETTER(kVector),
    {"score", &getter_stub<&hit_score>, nullptr, nullptr, nullptr},
    {"id", &getter_stub<&hit_get<RecordField::kNodeId>>, nullptr, nullptr, nullptr},
    ZV_HIT_GETTER(kCreatedAtMs),
    ZV_HIT_GETTER(kUpdatedAtMs),
    ZV_HIT_GETTER(kVersion),
    ZV_HIT_GETTER(kNodeId),
    ZV_HIT_GETTER(kExpiresAtMs),
    ZV_HIT_GETTER(kSupersededBy),
    ZV_HIT_GETTER(kSupersededAtMs),
    ZV_HIT_GETTER(kConfidenceClass),
    ZV_HIT_GETTER(kConfidence),
    ZV_HIT_GETTER(kLastValidatedAtMs),
    ZV_HIT_GETTER(kDerivedFrom),
    ZV_HIT_GETTER(kValidAtMs),
    ZV_HIT_GETTER(kInvalidAtMs),
    ZV_HIT_GETTER(kQuarantinedAtMs),
    ZV_HIT_GETTER(kQuarantineReason),
    ZV_HIT_GETTER(kQuarantinedBy),
    ZV_HIT_GETTER(kQuarantineReviewDueMs),
    {"__array_interface__", &getter_stub<&hit_array_interface>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_hit_slots[] = {
    {Py_tp_doc, const_cast<char*>(kSearchHitDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<HitValue>>)},
    {Py_tp_repr, reinterpret_cast<void*>(&self_stub<&hit_repr>)},
    {Py_tp_getset, g_hit_getset},
    {0, nullptr},
};
PyType_Spec g_hit_spec = {"builtins.SearchHit", sizeof(Instance<HitValue>), 0,
                          kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_hit_slots};

}  // namespace

TypeCell g_search_hit_cell("SearchHit", &g_hit_spec);

PyResult<PyRef> search_hits_to_py_list(std::vector<std::pair<MemoryRecord, float>> hits) {
  PyTypeObject* type = g_search_hit_cell.get();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return py_fail_fetch();
  for (size_t i = 0; i < hits.size(); ++i) {
    ZV_ASSIGN_OR_RETURN(PyRef hit, new_instance<HitValue>(type, HitValue{std::move(hits[i].first), hits[i].second}));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), hit.release());
  }
  return list;
}

}  // namespace zv::py
