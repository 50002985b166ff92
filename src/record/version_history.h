// Version history: every written version of a record kept in the "versions"
// partition under namespace, key and a big-endian version, pruned to a limit
// per record and deleted with the record. Called by the SDK's writes and
// deletes through a KvService. Holds no state or lock of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "src/record/kv_service.h"
#include "src/record/memory_record.h"

namespace zv {

// u32 LE namespace length, namespace, u32 LE key length, key, u64 BE version.
std::string version_key(std::string_view ns, std::string_view key, uint64_t version);
// The key without its version: matches exactly the versions of one record.
std::string version_prefix(std::string_view ns, std::string_view key);

// Stores the record's binary form under its version key, then prunes.
ZolvaStatus record_version(KvService& kv, const MemoryRecord& record,
                           std::optional<uint64_t> limit);
// Keeps the newest `limit` versions of the record; no limit: nothing is read.
ZolvaStatus prune_versions(KvService& kv, std::string_view ns, std::string_view key,
                           std::optional<uint64_t> limit);
// Deletes every version of the record in one batch (none when there is none).
ZolvaStatus delete_versions(KvService& kv, std::string_view ns, std::string_view key);

}  // namespace zv
