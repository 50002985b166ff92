// Key layouts, record operations and the state record of the two derived
// indexes: the namespace index (namespace 0x00 key -> 16-byte id) and the
// payload index (namespace 0x00 field 0x00 value text 0x00 key -> id). A
// payload entry whose key would pass the key-value engine's key limit is
// skipped (and counted) rather than written: such a key would make the
// backend refuse the record's whole index batch. Pure functions apart from
// the state reads and writes, which go through thread-safe services.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/record/kv_service.h"
#include "src/record/memory_record.h"
#include "src/text/key_limit.h"
#include "src/text/record_pair.h"

namespace zv::text {

inline constexpr std::string_view kDerivedIndexStateKey = "derived_index_state";
inline constexpr uint32_t kDerivedIndexSchemaVersion = 1;

// Namespace, 0x00, record key.
std::string namespace_index_key(std::string_view ns, std::string_view record_key);

// "s:", "i:", "f:" (16 hex digits of the bits), "b:", "d:" (six fractional
// digits, Z), "n:"; a list fails with Validation on "value".
ZolvaResult<std::string> scalar_index_value_text(const FieldValue& value);

// Namespace, 0x00, field, 0x00, value text, 0x00: the prefix of every
// payload entry of that field value.
ZolvaResult<std::string> scalar_index_key(std::string_view ns, std::string_view field,
                                          const FieldValue& value);

// The namespace entry, then one payload entry per scalar of every metadata
// field (field-name order, list order), as Puts of the 16 id bytes. Entries
// whose key would exceed kMaxIndexKeyBytes are left out and added to
// *skipped when given.
ZolvaResult<std::vector<BatchOp>> derived_index_put_ops(const MemoryRecord& record,
                                                        uint64_t* skipped = nullptr);
// derived_index_put_ops appending to *out (a rebuild's one batch); on an
// error *out may hold part of the record's operations.
ZolvaStatus append_derived_index_put_ops(const MemoryRecord& record, std::vector<BatchOp>* out,
                                         uint64_t* skipped = nullptr);
// The same keys as Deletes.
ZolvaResult<std::vector<BatchOp>> derived_index_delete_ops(const MemoryRecord& record);

// P(r): the number of distinct payload-index keys the record stores (a list
// gives one per distinct element, an empty list none, a skipped over-long
// key none). The rebuild, the record change, the purge and the check at open
// all count with it, so that the state agrees with partition 5.
uint64_t payload_entry_count(const MemoryRecord& record);
// The same count taken from a record's own put operations (the distinct keys
// of its payload-index Puts), without building the keys again.
uint64_t payload_entry_count(std::span<const BatchOp> record_ops);

struct DerivedIndexState {
  uint32_t schema_version = kDerivedIndexSchemaVersion;
  uint64_t built_at_ms = 0;
  uint64_t record_count = 0;
  uint64_t namespace_entries = 0;
  uint64_t payload_entries = 0;

  bool operator==(const DerivedIndexState&) const = default;

  // Schema 1, built now.
  static DerivedIndexState create(uint64_t record_count, uint64_t namespace_entries,
                                  uint64_t payload_entries);
  std::string encode() const;
  static ZolvaResult<DerivedIndexState> decode(std::string_view bytes);
  static ZolvaResult<std::optional<DerivedIndexState>> read(StorageBackend& backend);
  static ZolvaStatus write(KvService& kv, const DerivedIndexState& state);
};

// The per-record count update after a record change's batch: +1/+1/+P(new)
// on an insert, -1/-1/-P(old) on a delete, -P(old)+P(new) on an update,
// saturating. Nothing is written without a state or with a schema other
// than 1.
ZolvaStatus update_derived_index_state(StorageBackend& backend, KvService& kv,
                                       const MemoryRecord* old_record,
                                       const MemoryRecord* new_record);
// The same for several changes: one read, each change's update in list
// order (so saturation acts as it would change by change), one write.
ZolvaStatus update_derived_index_state(StorageBackend& backend, KvService& kv,
                                       std::span<const RecordPair> changes);

}  // namespace zv::text
