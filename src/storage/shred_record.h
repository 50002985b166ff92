// Shred records: one backend entry per stored record (partition 8, key
// "shred::" + the decimal node id) holding its scalar metadata values (Int,
// Float, Bool, String) in a compact form, so that the dense-vector search can
// test metadata filters on candidates without decoding the node. Not
// authoritative: a missing record means nothing is known. Pure functions plus
// backend calls; thread-safe as the backend is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/record/validation.h"

namespace zv {

enum class ShredKind : uint8_t { kInt = 0, kFloat = 1, kBool = 2, kString = 3 };

struct ShredValue {
  std::variant<int64_t, double, bool, std::string> v;

  // The stored value (left-hand side) against a filter value: same variant
  // only; Bool and String support Eq and Neq only; Int never meets Float.
  static bool matches(const ShredValue& stored, FilterOp op, const FieldValue& filter);
};

using ShredFields = std::vector<std::pair<std::string, ShredValue>>;

namespace shred_record {

inline constexpr std::string_view kKeyPrefix = "shred::";

std::string key(NodeId id);
// The value for a metadata map: supported fields in key order; empty when
// none is supported.
std::string encode(const FieldMap& metadata);
// The fields of a value, or none when it is malformed.
std::optional<ShredFields> decode(std::string_view bytes);

// Writes the record; nothing when no field is of a supported kind.
ZolvaStatus put(NodeId id, const FieldMap& metadata, StorageBackend& backend);
ZolvaStatus del(NodeId id, StorageBackend& backend);

}  // namespace shred_record

}  // namespace zv
