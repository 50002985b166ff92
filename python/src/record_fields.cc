#include "python/src/record_fields.h"

#include <cstring>

#include "python/src/field_values.h"
#include "python/src/list_conversions.h"
#include "python/src/vectors.h"

namespace zv::py {

namespace {

constexpr const char* kNames[kRecordFieldCount] = {
    "namespace",  "key",           "payload",           "metadata",          "vector",
    "created_at_ms", "updated_at_ms", "version",         "node_id",           "expires_at_ms",
    "superseded_by", "superseded_at_ms", "confidence_class", "confidence",    "last_validated_at_ms",
    "derived_from", "valid_at_ms",  "invalid_at_ms",     "quarantined_at_ms", "quarantine_reason",
    "quarantined_by", "quarantine_review_due_ms",
};

PyResult<PyRef> made(PyObject* obj) {
  if (obj == nullptr) return py_fail_fetch();
  return PyRef::steal(obj);
}

PyResult<PyRef> text(const std::string& s) { return made(text_to_py(s)); }
PyResult<PyRef> u64(uint64_t v) { return made(PyLong_FromUnsignedLongLong(v)); }
PyResult<PyRef> opt_u64(const std::optional<uint64_t>& v) {
  return v ? u64(*v) : PyResult<PyRef>(PyRef::borrow(Py_None));
}
PyResult<PyRef> opt_text(const std::optional<std::string>& v) {
  return v ? text(*v) : PyResult<PyRef>(PyRef::borrow(Py_None));
}

}  // namespace

const char* record_field_name(RecordField field) { return kNames[static_cast<size_t>(field)]; }

std::optional<RecordField> record_field_by_name(std::string_view name) {
  for (size_t i = 0; i < kRecordFieldCount; ++i) {
    if (name == kNames[i]) return static_cast<RecordField>(i);
  }
  return std::nullopt;
}

PyResult<PyRef> node_id_to_py(NodeId id) {
  PyRef high = PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<uint64_t>(id >> 64)));
  PyRef low = PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<uint64_t>(id)));
  PyRef shift = PyRef::steal(PyLong_FromLong(64));
  if (!high || !low || !shift) return py_fail_fetch();
  PyRef shifted = PyRef::steal(PyNumber_Lshift(high.get(), shift.get()));
  if (!shifted) return py_fail_fetch();
  return made(PyNumber_Or(shifted.get(), low.get()));
}

PyResult<PyRef> record_field_to_py(const MemoryRecord& r, RecordField field) {
  switch (field) {
    case RecordField::kNamespace: return text(r.ns);
    case RecordField::kKey: return text(r.key);
    case RecordField::kPayload: return text(r.payload);
    case RecordField::kMetadata: return metadata_to_py(r.metadata);
    case RecordField::kVector: return vector_property(r.vector);
    case RecordField::kCreatedAtMs: return u64(r.created_at_ms);
    case RecordField::kUpdatedAtMs: return u64(r.updated_at_ms);
    case RecordField::kVersion: return u64(r.version);
    case RecordField::kNodeId: return node_id_to_py(r.node_id);
    case RecordField::kExpiresAtMs: return opt_u64(r.expires_at_ms);
    case RecordField::kSupersededBy: return opt_text(r.superseded_by);
    case RecordField::kSupersededAtMs: return opt_u64(r.superseded_at_ms);
    case RecordField::kConfidenceClass:
      return text(r.confidence_class == ConfidenceClass::kDerived ? "Derived" : "Asserted");
    case RecordField::kConfidence: return made(PyFloat_FromDouble(static_cast<double>(r.confidence)));
    case RecordField::kLastValidatedAtMs: return opt_u64(r.last_validated_at_ms);
    case RecordField::kDerivedFrom: return str_list_to_py(r.derived_from);
    case RecordField::kValidAtMs: return u64(r.valid_at_ms);
    case RecordField::kInvalidAtMs: return opt_u64(r.invalid_at_ms);
    case RecordField::kQuarantinedAtMs: return opt_u64(r.quarantined_at_ms);
    case RecordField::kQuarantineReason: return opt_text(r.quarantine_reason);
    case RecordField::kQuarantinedBy: return opt_text(r.quarantined_by);
    case RecordField::kQuarantineReviewDueMs: return opt_u64(r.quarantine_review_due_ms);
  }
  return PyRef::borrow(Py_None);
}

}  // namespace zv::py
