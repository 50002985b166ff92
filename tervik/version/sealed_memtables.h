// The sealed memtables of a tree, waiting for a flush: a shared, immutable
// list in sealing order (oldest first). Rotation builds a new list with one
// more memtable; a registered flush builds one without the memtables it
// wrote. Readers hold the list they cloned; safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tervik/core/seqno.h"
#include "tervik/memtable/memtable.h"

namespace tervik {

class SealedMemtables {
 public:
  SealedMemtables() = default;
  explicit SealedMemtables(std::vector<std::shared_ptr<Memtable>> memtables)
      : memtables_(std::move(memtables)) {}

  // A new list: these memtables, then `sealed` at the end.
  std::shared_ptr<const SealedMemtables> with_added(std::shared_ptr<Memtable> sealed) const;
  // A new list without every memtable whose id is `id` (others keep order).
  std::shared_ptr<const SealedMemtables> without(uint64_t id) const;
  bool contains(uint64_t id) const;

  const std::vector<std::shared_ptr<Memtable>>& memtables() const { return memtables_; }
  size_t size() const { return memtables_.size(); }
  bool empty() const { return memtables_.empty(); }
  // Sum of the memtables' approximate sizes.
  uint64_t approximate_size() const;
  // Highest sequence number over the non-empty memtables; none when all are empty.
  std::optional<SeqNo> highest_seqno() const;

 private:
  std::vector<std::shared_ptr<Memtable>> memtables_;
};

using SealedMemtablesHandle = std::shared_ptr<const SealedMemtables>;

}  // namespace tervik
