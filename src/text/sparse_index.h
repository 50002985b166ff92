// The sparse vector index: one posting per (namespace, dimension, record) in
// the sparse-index partition under "v1" 0x00 namespace 0x00 dimension (u32
// little-endian) 0x00 record key, valued by the node id (LEB128) and the
// weight (f32 little-endian); the postings of a record change; and the state
// record with its per-record count update. Pure functions apart from the
// state reads and writes, which go through thread-safe services.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/record/kv_service.h"
#include "src/record/memory_record.h"
#include "src/text/record_pair.h"

namespace zv::text {

inline constexpr std::string_view kSparseIndexStateKey = "sparse_index_state";
inline constexpr uint32_t kSparseIndexSchemaVersion = 1;

std::string sparse_posting_key(std::string_view ns, uint32_t dimension,
                               std::string_view record_key);
// "v1", 0x00, namespace, 0x00, dimension, 0x00: every posting of the
// dimension in the namespace, in record-key order.
std::string sparse_posting_prefix(std::string_view ns, uint32_t dimension);

struct SparsePosting {
  NodeId node_id = 0;
  float weight = 0;
  bool operator==(const SparsePosting&) const = default;
};

std::string encode_sparse_posting(NodeId node_id, float weight);
// Serialization with the reader's text when the value is cut short or its
// varint is malformed; bytes after the weight are ignored.
ZolvaResult<SparsePosting> decode_sparse_posting(std::string_view bytes);

// Appends the Put of one dimension's posting of a record.
ZolvaStatus collect_sparse_posting_writes(std::string_view ns, std::string_view record_key,
                                          NodeId node_id, uint32_t dimension, float weight,
                                          std::vector<BatchOp>* out);
// One Put per dimension in ascending order; empty without a sparse vector.
ZolvaResult<std::vector<BatchOp>> sparse_posting_put_ops(const MemoryRecord& record);
// The Deletes of the record's postings, ascending dimension order.
std::vector<BatchOp> sparse_posting_delete_ops(const MemoryRecord& record);

struct SparseIndexState {
  uint32_t schema_version = kSparseIndexSchemaVersion;
  uint64_t built_at_ms = 0;
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;

  bool operator==(const SparseIndexState&) const = default;

  // Schema 1, built now.
  static SparseIndexState create(uint64_t record_count, uint64_t posting_entries);
  std::string encode() const;
  static ZolvaResult<SparseIndexState> decode(std::string_view bytes);
  static ZolvaResult<std::optional<SparseIndexState>> read(StorageBackend& backend);
  static ZolvaStatus write(KvService& kv, const SparseIndexState& state);
};

// The count update after a record change's batch: record_count +1 on an
// insert, -1 on a delete; posting_entries -|old| then +|new|; saturating.
// Nothing is written without a state or with a schema other than 1.
ZolvaStatus update_sparse_index_state(StorageBackend& backend, KvService& kv,
                                      const MemoryRecord* old_record,
                                      const MemoryRecord* new_record);
// The same for several changes: one read, each change's update in list
// order, one write.
ZolvaStatus update_sparse_index_state(StorageBackend& backend, KvService& kv,
                                      std::span<const RecordPair> changes);

}  // namespace zv::text
