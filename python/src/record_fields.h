// The Python values of a stored record's fields, shared by Record and
// SearchHit: one converter per field, looked up by property name, and a
// getter template that reads the record out of an instance. Every read
// converts afresh. Needs the interpreter lock.
#pragma once

#include <string_view>

#include "python/src/py_err.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"
#include "src/record/memory_record.h"

namespace zv::py {

// The 22 exposed fields, in property-table order (the sparse vector is not
// exposed).
enum class RecordField : uint8_t {
  kNamespace,
  kKey,
  kPayload,
  kMetadata,
  kVector,
  kCreatedAtMs,
  kUpdatedAtMs,
  kVersion,
  kNodeId,
  kExpiresAtMs,
  kSupersededBy,
  kSupersededAtMs,
  kConfidenceClass,
  kConfidence,
  kLastValidatedAtMs,
  kDerivedFrom,
  kValidAtMs,
  kInvalidAtMs,
  kQuarantinedAtMs,
  kQuarantineReason,
  kQuarantinedBy,
  kQuarantineReviewDueMs,
};
inline constexpr size_t kRecordFieldCount = 22;

// The property name of a field ("created_at_ms").
const char* record_field_name(RecordField field);
// The field of an exact property name; none otherwise.
std::optional<RecordField> record_field_by_name(std::string_view name);

// The Python value of one field.
PyResult<PyRef> record_field_to_py(const MemoryRecord& record, RecordField field);

// A node id as an exact Python int (up to 2^128 - 1).
PyResult<PyRef> node_id_to_py(NodeId id);

}  // namespace zv::py
