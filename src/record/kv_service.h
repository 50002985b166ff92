// The vocabulary of the key-value store (partitions, pairs, batch operations)
// and KvService, the narrow slice of the storage engine that version history
// writes through: reads, puts and atomic batches, with writes refused on a
// read-only database. Implementations must be safe to call from many threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/foundation/error.h"

namespace zv {

// One fixed partition of the store; the numbers are stable.
enum class Partition : uint8_t {
  kDefault = 0,            // node records under 16-byte ids
  kTombstoneStorage = 1,   // archived nodes
  kCompressedArchive = 2,
  kTombstones = 3,
  kNamespaceIndex = 4,
  kPayloadIndex = 5,
  kTextIndex = 6,
  kSparseIndex = 7,
  kInternalMetadata = 8,
  kVersions = 9,
};
inline constexpr uint8_t kPartitionCount = 10;

// "default", "tombstone_storage", ... "versions": the keyspace names.
std::string_view partition_name(Partition p);

struct KvPair {
  std::string key;
  std::string value;
  bool operator==(const KvPair&) const = default;
};

// One operation of an atomic batch, owning its bytes.
struct BatchOp {
  enum class Kind : uint8_t { kPut, kDelete };
  Kind kind = Kind::kPut;
  Partition partition = Partition::kDefault;
  std::string key;
  std::string value;  // empty for a delete

  static BatchOp put(Partition p, std::string key, std::string value) {
    return BatchOp{Kind::kPut, p, std::move(key), std::move(value)};
  }
  static BatchOp del(Partition p, std::string key) {
    return BatchOp{Kind::kDelete, p, std::move(key), {}};
  }
  bool operator==(const BatchOp&) const = default;
};

// The field and reason of the refusal of a write on a read-only database.
inline constexpr std::string_view kReadOnlyField = "read_only";
inline constexpr std::string_view kReadOnlyReason =
    "StorageEngine is read-only; write operation rejected";

class KvService {
 public:
  virtual ~KvService() = default;
  // Puts one pair, replacing a stored value; refused when read-only.
  virtual ZolvaStatus kv_put(Partition p, std::string_view key, std::string_view value) = 0;
  // Applies the batch atomically, in list order; refused when read-only.
  virtual ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) = 0;
  // Every pair whose key starts with `prefix`, ascending by unsigned bytes.
  // Runs on a read-only database too.
  virtual ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) = 0;
};

}  // namespace zv
