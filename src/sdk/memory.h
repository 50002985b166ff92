// The small rules of storing one record that put and the other SDK writers
// share: the TTL in force, the validity start, the quarantine state a writer
// carries over, and the quarantine state read straight from the stored node.
// The record operations themselves (get, del, put) are methods of
// EmbeddedDb, defined in memory.cc. Pure functions apart from the backend
// read; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "src/foundation/error.h"
#include "src/record/memory_input.h"
#include "src/record/memory_record.h"
#include "src/storage/storage_engine.h"

namespace zv::memory {

// The four quarantine fields of a record, carried over by every writer.
struct QuarantineState {
  std::optional<uint64_t> quarantined_at_ms;
  std::optional<uint64_t> quarantine_review_due_ms;
  std::optional<std::string> quarantine_reason;
  std::optional<std::string> quarantined_by;

  bool operator==(const QuarantineState&) const = default;
};

inline constexpr std::string_view kFieldValidAt = "valid_at_ms";
inline constexpr std::string_view kValidAtZero =
    "must be greater than 0; omit the field to default to created_at_ms";
inline constexpr std::string_view kExplicitWriteReason = "explicit_write";
inline constexpr std::string_view kPutQuarantineAuthor = "system:put";
inline constexpr uint64_t kMsPerDay = 86'400'000;
inline constexpr std::string_view kFieldPayload = "payload";
inline constexpr std::string_view kKeyNotUtf8 = "key must be valid UTF-8";
inline constexpr std::string_view kPayloadNotUtf8 = "payload must be valid UTF-8";
inline constexpr std::string_view kMetadataNotUtf8 =
    "metadata names and text values must be valid UTF-8";

// The explicit ttl_ms (0 included), else the namespace's default (exact
// match), else none.
std::optional<uint64_t> effective_ttl_ms(const std::map<std::string, uint64_t>& defaults,
                                         std::string_view ns, std::optional<uint64_t> ttl_ms);

// A given value above 0 unchanged; absent: created_at_ms; 0 is refused.
ZolvaResult<uint64_t> resolve_valid_at_ms(std::optional<uint64_t> valid_at_ms,
                                          uint64_t created_at_ms);

// The version after `version`, staying at the largest u64.
inline uint64_t next_version(uint64_t version) {
  return version == UINT64_MAX ? version : version + 1;
}

// Text the record model stores must be UTF-8: a key, payload, metadata name
// or text value that is not would be written into a node that no longer
// decodes (the stored record lost). Validation on "key", "payload" or
// "metadata".
ZolvaStatus validate_text_encoding(const MemoryInput& input);

QuarantineState quarantine_state_of(const MemoryRecord& record);
// Writes the state into the record's four quarantine fields.
void apply_quarantine_state(MemoryRecord& record, QuarantineState state);

// The quarantine state of the node's stored value in partition 0 (bypassing
// the node cache): none without a value, for a value that does not decode,
// or without a positive quarantine time; reason and author only when text,
// the review date only when a positive integer.
ZolvaResult<std::optional<QuarantineState>> read_quarantine_state(StorageEngine& engine, NodeId id);

}  // namespace zv::memory
