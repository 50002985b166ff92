// The entry of the tree: InternalKey (user key, sequence number, value type)
// with its value, and the one internal key order that the memtable, blocks,
// tables, merges and compaction sort by: user key ascending, then sequence
// number descending; the value type takes no part. Plain values.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

#include "tervik/core/seqno.h"
#include "tervik/core/slice.h"
#include "tervik/core/value_type.h"

namespace tervik {

inline constexpr size_t kMaxUserKeyLength = 65535;
// Size charged to the memtable per entry beyond key and value bytes.
inline constexpr uint64_t kEntryOverhead = 64;
// Values of at least this many bytes print as "[ ... N bytes ]".
inline constexpr size_t kValuePrintLimit = 100;

struct InternalKey {
  UserKey user_key;
  SeqNo seqno = 0;
  ValueType value_type = ValueType::kValue;

  InternalKey() = default;
  // Unchecked: search keys and decoded keys. Entries are built through the
  // checked constructors of InternalValue.
  InternalKey(UserKey key, SeqNo s, ValueType t)
      : user_key(std::move(key)), seqno(s), value_type(t) {}

  bool is_tombstone() const { return tervik::is_tombstone(value_type); }

  // Negative, zero or positive in the internal key order.
  int compare(const InternalKey& other) const {
    int c = user_key.compare(other.user_key);
    if (c != 0) return c;
    return seqno > other.seqno ? -1 : (seqno < other.seqno ? 1 : 0);
  }
  bool operator==(const InternalKey& other) const {
    return seqno == other.seqno && user_key == other.user_key;
  }
  std::strong_ordering operator<=>(const InternalKey& other) const {
    int c = compare(other);
    return c < 0 ? std::strong_ordering::less
                 : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
  }

  // "Slice([97]):5:V"
  std::string debug_string() const;
};

struct InternalValue {
  InternalKey key;
  UserValue value;

  InternalValue() = default;
  InternalValue(InternalKey k, UserValue v) : key(std::move(k)), value(std::move(v)) {}

  // Checked constructors: a key over 65,535 bytes is the fatal error "keys can
  // be 65535 bytes in length", then an empty key "key may not be empty".
  static InternalValue from_components(UserKey key, UserValue value, SeqNo seqno,
                                       ValueType type);
  static InternalValue new_value(UserKey key, UserValue value, SeqNo seqno);
  // `indirection` holds an encoded BlobIndirection.
  static InternalValue new_indirection(UserKey key, std::string_view indirection,
                                       SeqNo seqno);
  static InternalValue new_tombstone(UserKey key, SeqNo seqno);
  static InternalValue new_weak_tombstone(UserKey key, SeqNo seqno);

  bool is_tombstone() const { return key.is_tombstone(); }
  // Memtable accounting: key length + value length + 64.
  uint64_t size() const { return key.user_key.size() + value.size() + kEntryOverhead; }

  // "<key> => <value>", a value of 100 bytes or more as "[ ... N bytes ]".
  std::string debug_string() const;
};

// Fatal when `key` is longer than 65,535 bytes.
void check_key_length(const UserKey& key);

}  // namespace tervik
