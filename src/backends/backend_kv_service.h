// BackendKvService: KvService over a StorageBackend, refusing puts and batches
// when the database is read-only (the scan still runs). Used where version
// history runs against a backend without the storage engine in between.
// Thread-safe as its backend is.
#pragma once

#include <memory>

#include "src/backends/storage_backend.h"
#include "src/record/kv_service.h"

namespace zv {

class BackendKvService final : public KvService {
 public:
  BackendKvService(std::shared_ptr<StorageBackend> backend, bool read_only)
      : backend_(std::move(backend)), read_only_(read_only) {}

  ZolvaStatus kv_put(Partition p, std::string_view key, std::string_view value) override;
  ZolvaStatus kv_write_batch(std::vector<BatchOp> ops) override;
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix) override {
    return backend_->scan_prefix(p, prefix);
  }

 private:
  std::shared_ptr<StorageBackend> backend_;
  const bool read_only_;
};

// The refusal of a write on a read-only database.
ZolvaError read_only_error();

}  // namespace zv
