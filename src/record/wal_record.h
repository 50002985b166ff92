// WalRecord: the payload of one write-ahead-log record, a tagged union of the
// changes the log carries (insert, update, delete, transaction markers and two
// reserved kinds), and its bytes in the compact binary form. The log writers
// encode into a buffer of their own; the readers decode each framed payload.
// Plain values and pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "src/record/binary_form.h"
#include "src/record/engine_node.h"

namespace zv {

enum class WalRecordKind : uint8_t {
  kInsert = 0,
  kUpdate = 1,
  kDelete = 2,
  kReserved3 = 3,
  kTxnBegin = 4,
  kReserved5 = 5,
  kTxnCommit = 6,
  kTxnAbort = 7,
};

struct WalInsert {
  EngineNode node;
  bool operator==(const WalInsert&) const = default;
};
// Replay files the node's vector under `id` and the node under its own id.
struct WalUpdate {
  NodeId id = 0;
  EngineNode node;
  bool operator==(const WalUpdate&) const = default;
};
struct WalDelete {
  NodeId id = 0;
  bool operator==(const WalDelete&) const = default;
};
// Read and passed over; nothing writes or interprets it.
struct WalReserved3 {
  uint64_t value = 0;
  std::optional<uint32_t> opt_u32;
  std::optional<uint64_t> opt_u64;
  bool operator==(const WalReserved3&) const = default;
};
struct WalTxnBegin {
  uint64_t txn_id = 0;
  bool operator==(const WalTxnBegin&) const = default;
};
struct WalReserved5 {
  uint64_t value = 0;
  uint32_t extra = 0;
  bool operator==(const WalReserved5&) const = default;
};
struct WalTxnCommit {
  uint64_t txn_id = 0;
  bool operator==(const WalTxnCommit&) const = default;
};
struct WalTxnAbort {
  uint64_t txn_id = 0;
  bool operator==(const WalTxnAbort&) const = default;
};

// The alternative index is the variant index written on the wire.
using WalRecord = std::variant<WalInsert, WalUpdate, WalDelete, WalReserved3, WalTxnBegin,
                               WalReserved5, WalTxnCommit, WalTxnAbort>;

inline WalRecordKind wal_record_kind(const WalRecord& r) {
  return static_cast<WalRecordKind>(r.index());
}

// Appends the payload bytes of a record through `w` (cannot fail: every
// value of a node renders).
void encode_wal_record(BinaryWriter& w, const WalRecord& r);
std::string encode_wal_record(const WalRecord& r);
// The payload of an Insert or a Delete, without building a WalRecord.
void encode_wal_insert(BinaryWriter& w, const EngineNode& node);
void encode_wal_delete(BinaryWriter& w, NodeId id);

// Decodes one payload; bytes after the record are ignored. An empty payload
// fails with UnexpectedEnd, an unknown index with DecodeCustom.
BinResult<WalRecord> decode_wal_record(std::string_view payload);

}  // namespace zv
