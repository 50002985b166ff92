// InMemoryBackend: a StorageBackend that keeps the ten partitions as ordered
// maps in process memory and persists nothing. One reader-writer lock covers
// all partitions: reads share it, writes and batches hold it exclusively, and
// no lock is held across calls. Safe to share between threads.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

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
  // std::string orders by unsigned bytes; std::less<> finds by string_view.
  using Map = std::map<std::string, std::string, std::less<>>;
  Map& part(Partition p) { return parts_[static_cast<uint8_t>(p)]; }
  const Map* find_part(Partition p) const;

  // Guards every partition map.
  mutable std::shared_mutex mu_;
  std::array<Map, kPartitionCount> parts_;
};

}  // namespace zv
