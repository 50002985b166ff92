#include "src/text/sparse_index.h"

#include "platform/clock.h"
#include "platform/coding.h"
#include "src/record/binary_form.h"
#include "src/text/index_codec_error.h"
#include "src/text/state_record.h"
#include "src/text/text_stats.h"

namespace zv::text {

namespace {

constexpr std::string_view kSparseKeyTag{"v1\0", 3};

size_t sparse_dims(const MemoryRecord* r) {
  return (r != nullptr && r->sparse_vector) ? r->sparse_vector->size() : 0;
}

}  // namespace

std::string sparse_posting_prefix(std::string_view ns, uint32_t dimension) {
  std::string out;
  out.reserve(kSparseKeyTag.size() + ns.size() + 6);
  out.append(kSparseKeyTag);
  out.append(ns);
  out.push_back('\0');
  coding::put_u32_le(&out, dimension);
  out.push_back('\0');
  return out;
}

std::string sparse_posting_key(std::string_view ns, uint32_t dimension,
                               std::string_view record_key) {
  std::string out = sparse_posting_prefix(ns, dimension);
  out.append(record_key);
  return out;
}

std::string encode_sparse_posting(NodeId node_id, float weight) {
  std::string out;
  coding::put_varint_u128(&out, node_id);
  coding::put_f32_le(&out, weight);
  return out;
}

ZolvaResult<SparsePosting> decode_sparse_posting(std::string_view bytes) {
  BinaryReader r(bytes);
  SparsePosting p;
  ZV_INDEX_READ(p.node_id, r.varint_u128());
  ZV_INDEX_READ(p.weight, r.f32());
  return p;
}

ZolvaStatus collect_sparse_posting_writes(std::string_view ns, std::string_view record_key,
                                          NodeId node_id, uint32_t dimension, float weight,
                                          std::vector<BatchOp>* out) {
  out->push_back(BatchOp::put(Partition::kSparseIndex, sparse_posting_key(ns, dimension, record_key),
                              encode_sparse_posting(node_id, weight)));
  return {};
}

ZolvaResult<std::vector<BatchOp>> sparse_posting_put_ops(const MemoryRecord& record) {
  std::vector<BatchOp> ops;
  if (!record.sparse_vector) return ops;
  ops.reserve(record.sparse_vector->size());
  for (const auto& [dim, weight] : *record.sparse_vector) {
    ZV_TRY(collect_sparse_posting_writes(record.ns, record.key, record.node_id, dim, weight, &ops));
  }
  return ops;
}

std::vector<BatchOp> sparse_posting_delete_ops(const MemoryRecord& record) {
  std::vector<BatchOp> ops;
  if (!record.sparse_vector) return ops;
  for (const auto& entry : *record.sparse_vector) {
    ops.push_back(BatchOp::del(Partition::kSparseIndex,
                               sparse_posting_key(record.ns, entry.first, record.key)));
  }
  return ops;
}

SparseIndexState SparseIndexState::create(uint64_t record_count, uint64_t posting_entries) {
  return SparseIndexState{kSparseIndexSchemaVersion, now_ms(), record_count, posting_entries};
}

std::string SparseIndexState::encode() const {
  std::string out;
  BinaryWriter w(&out);
  w.varint(schema_version);
  w.varint(built_at_ms);
  w.varint(record_count);
  w.varint(posting_entries);
  return out;
}

ZolvaResult<SparseIndexState> SparseIndexState::decode(std::string_view bytes) {
  BinaryReader r(bytes);
  SparseIndexState s;
  ZV_INDEX_READ(s.schema_version, r.varint_u32());
  ZV_INDEX_READ(s.built_at_ms, r.varint_u64());
  ZV_INDEX_READ(s.record_count, r.varint_u64());
  ZV_INDEX_READ(s.posting_entries, r.varint_u64());
  return s;
}

ZolvaResult<std::optional<SparseIndexState>> SparseIndexState::read(StorageBackend& backend) {
  return read_state_record<SparseIndexState>(backend, kSparseIndexStateKey);
}

ZolvaStatus SparseIndexState::write(KvService& kv, const SparseIndexState& state) {
  return kv.kv_put(Partition::kInternalMetadata, kSparseIndexStateKey, state.encode());
}

ZolvaStatus update_sparse_index_state(StorageBackend& backend, KvService& kv,
                                      const MemoryRecord* old_record,
                                      const MemoryRecord* new_record) {
  const RecordPair change{old_record, new_record};
  return update_sparse_index_state(backend, kv, std::span<const RecordPair>(&change, 1));
}

ZolvaStatus update_sparse_index_state(StorageBackend& backend, KvService& kv,
                                      std::span<const RecordPair> changes) {
  ZV_ASSIGN_OR_RETURN(std::optional<SparseIndexState> stored, SparseIndexState::read(backend));
  if (!stored || stored->schema_version != kSparseIndexSchemaVersion) return {};
  SparseIndexState& s = *stored;
  for (const auto& [old_record, new_record] : changes) {
    if (new_record && !old_record) s.record_count = saturating_stat_add(s.record_count, 1);
    if (old_record && !new_record) s.record_count = saturating_stat_add(s.record_count, -1);
    s.posting_entries =
        saturating_stat_add(s.posting_entries, -static_cast<int64_t>(sparse_dims(old_record)));
    s.posting_entries =
        saturating_stat_add(s.posting_entries, static_cast<int64_t>(sparse_dims(new_record)));
  }
  return SparseIndexState::write(kv, s);
}

}  // namespace zv::text
