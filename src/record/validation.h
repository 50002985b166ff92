// The rules every memory record meets before it is stored (namespace, key,
// metadata names, provenance), the millisecond clock of the record model, the
// two metadata filter matchers of list/count/search, and the decoding of a
// sparse vector from its stored pair list. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"

namespace zv {

inline constexpr size_t kMaxNamespaceBytes = 128;
inline constexpr size_t kMaxKeyBytes = 512;
// Metadata names with this prefix carry the record fields inside a node.
inline constexpr std::string_view kReservedPrefix = "__zolva_";

inline constexpr std::string_view kFieldNamespace = "namespace";
inline constexpr std::string_view kFieldKey = "key";
inline constexpr std::string_view kFieldMetadata = "metadata";
inline constexpr std::string_view kFieldConfidence = "confidence";
inline constexpr std::string_view kFieldDerivedFrom = "derived_from";

inline constexpr std::string_view kNamespaceEmpty = "namespace must not be empty";
inline constexpr std::string_view kNamespaceTooLong = "namespace must be at most 128 bytes";
inline constexpr std::string_view kNamespaceBadChar =
    "namespace may contain only A-Z, a-z, 0-9, '.', '_', '/', '-'";
inline constexpr std::string_view kKeyEmpty = "key must not be empty";
inline constexpr std::string_view kKeyTooLong = "key must be at most 512 bytes";
inline constexpr std::string_view kKeyNul = "key must not contain NUL bytes";
// Templates: the metadata name replaces {}.
inline constexpr std::string_view kMetadataReservedTemplate =
    "metadata key '{}' is reserved for ZivirOR internals";
inline constexpr std::string_view kMetadataNulTemplate =
    "metadata key '{}' must not contain NUL bytes";
inline constexpr std::string_view kConfidenceRange = "confidence must be a finite number in [0,1]";
inline constexpr std::string_view kDerivedNeedsParents =
    "derived records require a non-empty derived_from parent list";
inline constexpr std::string_view kAssertedNoParents =
    "asserted records cannot declare derived_from parents";

// Provenance of a record: a direct claim, or derived from parent records.
enum class ConfidenceClass : uint8_t { kAsserted = 0, kDerived = 1 };
inline constexpr std::string_view kAssertedText = "Asserted";
inline constexpr std::string_view kDerivedText = "Derived";
std::string_view confidence_class_text(ConfidenceClass c);
// The class of the exact text "Asserted" or "Derived"; none for other text.
std::optional<ConfidenceClass> parse_confidence_class(std::string_view text);

ZolvaStatus validate_namespace(std::string_view ns);
ZolvaStatus validate_key(std::string_view key);
// Reserved names are reported before names with NUL bytes; both in
// ascending name order. Null or empty passes.
ZolvaStatus validate_metadata_keys(const FieldMap* metadata);
ZolvaStatus validate_provenance(ConfidenceClass cls, size_t parent_count, float confidence);

// Whole milliseconds since the Unix epoch; 0 before 1970.
uint64_t record_now_ms();

enum class FilterOp : uint8_t { kEq = 0, kNeq = 1, kGt = 2, kLt = 3, kGte = 4, kLte = 5 };

// One filter condition of a list, count, search or delete-by-filter request.
struct MemoryFilterItem {
  std::string field;
  FilterOp op = FilterOp::kEq;
  FieldValue value;
};

// Every filter entry present in the metadata with an equal (IEEE) value; an
// empty filter matches everything, empty metadata no non-empty filter.
bool matches_equality_filters(const FieldMap& metadata, const FieldMap& filter);
// Every item passes, the stored value on the left; a missing field fails any
// operator; an unordered comparison fails every ordering operator.
bool matches_filter_items(const FieldMap& metadata, const std::vector<MemoryFilterItem>& items);

// dimension -> weight, ascending dimension.
using SparseVector = std::map<uint32_t, float>;
// From the flat list dim, weight, dim, weight, ...: none for an odd length or
// a dimension that is not a whole number in 0..4294967295.
std::optional<SparseVector> decode_sparse_pairs(const std::vector<double>& pairs);

}  // namespace zv
