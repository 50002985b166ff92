// The kind byte of every tree entry and its parse from stored bytes. Used by
// entries, blocks, the memtable and the read path. Plain values.
#pragma once

#include <cstdint>
#include <string_view>

namespace tervik {

enum class ValueType : uint8_t {
  kValue = 0,          // carries a user value
  kTombstone = 1,      // deletes the key, hiding every older version
  kWeakTombstone = 2,  // single deletion marker; reads treat it as a tombstone
  kIndirection = 4,    // the value is an encoded BlobIndirection
};

inline constexpr std::string_view kValueTypeTagName = "ValueType";

// The short form used in key print forms: "V", "T", "W", "Vb".
std::string_view value_type_short(ValueType t);
// The variant name: "Value", "Tombstone", "WeakTombstone", "Indirection".
std::string_view value_type_name(ValueType t);

inline bool is_tombstone(ValueType t) {
  return t == ValueType::kTombstone || t == ValueType::kWeakTombstone;
}

}  // namespace tervik
