// The derived, text and sparse indexes of an open engine as the SDK's
// operations reach them: the record change after an engine write, the two
// derived-index lookups and the in-memory collection of the text index the
// audits compare with. Thin bindings of the text-index operations to the
// engine's backend, caches, index locks and the process-wide counters.
// Thread-safe; writers follow the index gate discipline of record_change.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "src/foundation/error.h"
#include "src/record/memory_record.h"
#include "src/storage/storage_engine.h"
#include "src/text/derived_lookup.h"
#include "src/text/record_change.h"
#include "src/text/text_rebuild.h"

namespace zv {

// The engine's backend, writer, statistics caches and index locks.
text::TextIndexTarget index_target(StorageEngine& engine);

// Every index follows one record change: an insert (no old record), a
// delete (no new record) or an update. The caller holds the engine's index
// gate shared (text::RecordWriteLock) from before its engine write.
ZolvaStatus apply_record_change(StorageEngine& engine, const MemoryRecord* old_record,
                                const MemoryRecord* new_record);

// The lookups, counting derived_prefix_scans.
ZolvaResult<text::DerivedLookup> payload_index_ids(StorageEngine& engine, std::string_view ns,
                                                   std::string_view field, const FieldValue& value,
                                                   uint64_t skip, std::optional<uint64_t> limit);
ZolvaResult<text::DerivedLookup> namespace_index_ids(StorageEngine& engine, std::string_view ns,
                                                     uint64_t skip, std::optional<uint64_t> limit);

// The text entries the stored records imply (one namespace with a filter).
ZolvaResult<text::TextIndexExpectedEntries> collect_text_index_entries(
    StorageEngine& engine, std::optional<std::string_view> ns_filter);

}  // namespace zv
