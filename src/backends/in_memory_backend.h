// InMemoryBackend: a StorageBackend that keeps the ten partitions as ordered
// copy-on-write trees in process memory and persists nothing. One
// reader-writer lock covers all partitions: reads share it, writes and
// batches hold it exclusively, and no lock is held across calls. A prefix
// iterator reads lazily from a snapshot of its partition taken at the call,
// so writers go on while it runs. Safe to share between threads.
#pragma once

#include <array>
#include <memory>
#include <shared_mutex>
#include <string>

#include "src/backends/snapshot_tree.h"
#include "src/backends/storage_backend.h"

namespace zv {

inline constexpr uint64_t kInMemoryLimitHint = 131072;

class InMemoryBackend final : public StorageBackend {
 public:
  InMemoryBackend() = default;

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override;
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p,
                                                      std::string_view prefix) override;
  ZolvaStatus put(Partition p, std::string_view key, std::string_view value) override;
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view key) override;
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p,
                                             std::span<const std::string> keys) override;
  ZolvaStatus del(Partition p, std::string_view key) override;
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override;
  ZolvaStatus flush() override { return {}; }
  uint64_t limit_hint() const override { return kInMemoryLimitHint; }

 private:
  SnapshotTree& part(Partition p) { return parts_[static_cast<uint8_t>(p)]; }
  const SnapshotTree* find_part(Partition p) const;

  // Guards every partition tree, and the taking and dropping of snapshots of
  // them (a writer decides from a node's share count whether it may change
  // the node in place). Shared with the iterators, which may outlive us.
  std::shared_ptr<std::shared_mutex> mu_ = std::make_shared<std::shared_mutex>();
  std::array<SnapshotTree, kPartitionCount> parts_;
};

}  // namespace zv
