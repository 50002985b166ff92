// Test support for the index code: a KvService over a backend that counts
// the batches reaching it and keeps the last one, and a memory record built
// from the fields the indexes read. Test-only; not thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "src/backends/backend_kv_service.h"
#include "src/record/memory_record.h"
#include "src/record/node_key.h"

namespace zv::text::testing {

class RecordingKv final : public KvService {
 public:
  explicit RecordingKv(std::shared_ptr<StorageBackend> b, bool read_only = false)
      : inner(std::move(b), read_only) {}
  ZolvaStatus kv_put(Partition p, std::string_view k, std::string_view v) override {
    return inner.kv_put(p, k, v);
  }
  ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) override {
    ++batches;
    last_batch = ops;
    return inner.kv_write_batch(std::move(ops));
  }
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) override {
    return inner.scan_prefix(p, prefix);
  }
  BackendKvService inner;
  std::vector<BatchOp> last_batch;
  int batches = 0;
};

// A record with its deterministic node id.
inline MemoryRecord index_record(std::string ns, std::string key, std::string payload,
                                 FieldMap metadata = {}, std::optional<SparseVector> sparse = {}) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = std::move(payload);
  r.metadata = std::move(metadata);
  r.sparse_vector = std::move(sparse);
  return r;
}

}  // namespace zv::text::testing
