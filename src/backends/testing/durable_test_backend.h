// DurableTestBackend: a persistent StorageBackend for tests of the engine in
// directory mode, standing in for the key-value engine. It keeps every pair
// in an in-memory backend and makes them durable only at flush(), which
// replaces one snapshot file of all ten partitions in the database directory;
// the constructor loads that snapshot. Whatever was written after the last
// flush is lost when the object goes away: the weakest backend the engine
// must survive. Thread-safe (flushes are serialised among themselves).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "src/backends/backend_factory.h"
#include "src/backends/in_memory_backend.h"

namespace zv::testing {

inline constexpr const char* kDurableSnapshotName = "durable_test_backend.snapshot";

class DurableTestBackend final : public StorageBackend {
 public:
  // Loads the snapshot in `dir` when there is one; a damaged snapshot is an
  // error rather than an empty database.
  static ZolvaResult<std::shared_ptr<DurableTestBackend>> open(const std::string& dir);

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return mem_.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p,
                                                      std::string_view prefix) override {
    return mem_.prefix_iter(p, prefix);
  }
  ZolvaStatus put(Partition p, std::string_view key, std::string_view value) override {
    return mem_.put(p, key, value);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view key) override {
    return mem_.get(p, key);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p,
                                             std::span<const std::string> keys) override {
    return mem_.multi_get(p, keys);
  }
  ZolvaStatus del(Partition p, std::string_view key) override { return mem_.del(p, key); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override {
    return mem_.write_batch(std::move(ops));
  }
  ZolvaStatus flush() override;
  uint64_t limit_hint() const override { return mem_.limit_hint(); }

 private:
  explicit DurableTestBackend(std::string dir) : dir_(std::move(dir)) {}

  std::string dir_;
  InMemoryBackend mem_;
  std::mutex flush_mu_;  // one snapshot write at a time
};

// The snapshot bytes of all partitions, and their reading (Serialization on
// damaged bytes). Exposed for the fuzz target and the tests.
ZolvaResult<std::string> encode_snapshot(StorageBackend& backend);
ZolvaStatus load_snapshot(std::string_view bytes, StorageBackend& into);

// The registry with the key-value engine's entry replaced by this backend.
BackendFactoryTable durable_factory_table();

}  // namespace zv::testing
