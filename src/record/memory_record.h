// MemoryRecord: one stored memory (namespace, key, payload, metadata, dense
// and sparse vectors and lifecycle fields), its compact binary form (the value
// of a version-history entry), and its mapping onto the engine node that
// stores it, whose fields carry the record under reserved `__zolva_` names.
// Plain value, deep-copied; the functions are pure apart from the clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/record/engine_node.h"
#include "src/record/field_value.h"
#include "src/record/validation.h"

namespace zv {

struct MemoryRecord {
  std::string ns;  // the namespace
  std::string key;
  std::string payload;
  FieldMap metadata;  // user metadata; no reserved names
  uint64_t created_at_ms = 0;
  uint64_t updated_at_ms = 0;
  uint64_t version = 0;
  NodeId node_id = 0;
  std::optional<std::vector<float>> vector;
  std::optional<SparseVector> sparse_vector;
  std::optional<uint64_t> expires_at_ms;  // absent or 0: never expires
  std::optional<std::string> superseded_by;
  std::optional<uint64_t> superseded_at_ms;
  uint64_t valid_at_ms = 0;
  std::optional<uint64_t> invalid_at_ms;
  ConfidenceClass confidence_class = ConfidenceClass::kAsserted;
  float confidence = 1.0f;
  std::optional<uint64_t> last_validated_at_ms;
  std::vector<std::string> derived_from;
  std::optional<uint64_t> quarantined_at_ms;
  std::optional<std::string> quarantine_reason;
  std::optional<std::string> quarantined_by;
  std::optional<uint64_t> quarantine_review_due_ms;

  bool operator==(const MemoryRecord&) const = default;

  // The compact binary form, fields in declaration order (cannot fail).
  std::string encode_binary() const;

  // The node that stores this record: reserved fields, user metadata, the
  // dense vector as f32 (flag 0x10), the confidence as confidence_score.
  EngineNode into_node() const;
  // The record a node holds, or none: a node that is not live, lacks a
  // required reserved field, or (with exclude_expired) has expired. Damaged
  // optional fields read as absent. Never fails.
  static std::optional<MemoryRecord> from_node(const EngineNode& node, bool exclude_expired);
};

// Reserved field names, in the order into_node writes them.
inline constexpr std::string_view kZolvaNamespace = "__zolva_namespace";
inline constexpr std::string_view kZolvaKey = "__zolva_key";
inline constexpr std::string_view kZolvaPayload = "__zolva_payload";
inline constexpr std::string_view kZolvaCreatedAt = "__zolva_created_at_ms";
inline constexpr std::string_view kZolvaUpdatedAt = "__zolva_updated_at_ms";
inline constexpr std::string_view kZolvaVersion = "__zolva_version";
inline constexpr std::string_view kZolvaExpiresAt = "__zolva_expires_at_ms";
inline constexpr std::string_view kZolvaSupersededBy = "__zolva_superseded_by";
inline constexpr std::string_view kZolvaSupersededAt = "__zolva_superseded_at_ms";
inline constexpr std::string_view kZolvaValidAt = "__zolva_valid_at_ms";
inline constexpr std::string_view kZolvaInvalidAt = "__zolva_invalid_at_ms";
inline constexpr std::string_view kZolvaConfidenceClass = "__zolva_confidence_class";
inline constexpr std::string_view kZolvaLastValidatedAt = "__zolva_last_validated_at_ms";
inline constexpr std::string_view kZolvaDerivedFrom = "__zolva_derived_from";
inline constexpr std::string_view kZolvaQuarantinedAt = "__zolva_quarantined_at_ms";
inline constexpr std::string_view kZolvaQuarantineReason = "__zolva_quarantine_reason";
inline constexpr std::string_view kZolvaQuarantinedBy = "__zolva_quarantined_by";
inline constexpr std::string_view kZolvaQuarantineReviewDue = "__zolva_quarantine_review_due_ms";
inline constexpr std::string_view kZolvaSparseVector = "__zolva_sparse_vector";

inline constexpr std::array<std::string_view, 19> kReservedFieldNames = {
    kZolvaNamespace,       kZolvaKey,           kZolvaPayload,          kZolvaCreatedAt,
    kZolvaUpdatedAt,       kZolvaVersion,       kZolvaExpiresAt,        kZolvaSupersededBy,
    kZolvaSupersededAt,    kZolvaValidAt,       kZolvaInvalidAt,        kZolvaConfidenceClass,
    kZolvaLastValidatedAt, kZolvaDerivedFrom,   kZolvaQuarantinedAt,    kZolvaQuarantineReason,
    kZolvaQuarantinedBy,   kZolvaQuarantineReviewDue, kZolvaSparseVector};

// Warning texts of lenient reading (diagnostics only).
inline constexpr std::string_view kLogTargetRecord = "zolva::record";
inline constexpr std::string_view kWarnUnknownClass = "unknown confidence_class value ignored during read";
inline constexpr std::string_view kWarnBadSparsePairs =
    "corrupt sparse vector payload (malformed ListFloat pairs) ignored during read";
inline constexpr std::string_view kWarnBadSparseText = "corrupt sparse vector payload ignored during read";

// A copy of the text of a `String` field; none when missing or another variant.
std::optional<std::string> metadata_string(const FieldMap& fields, std::string_view name);

// The vector unchanged when some element is not zero (NaN counts as not
// zero); none for an absent, empty or all-zero vector.
std::optional<std::vector<float>> nonzero_vector(std::optional<std::vector<float>> v);

}  // namespace zv
