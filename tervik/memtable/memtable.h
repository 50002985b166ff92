// An append-only, sorted map of the newest entries of one tree, written and
// read by many threads without a lock: inserts link into a concurrent skip
// list, point reads and two-way range iterations run alongside. Freed whole
// once flushed into a table. Always owned through a shared_ptr (iterators
// keep their memtable alive).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "tervik/core/internal_value.h"
#include "tervik/core/key_range.h"
#include "tervik/core/read_item.h"
#include "tervik/memtable/skip_list.h"

namespace tervik {

class MemtableRange;

class Memtable : public std::enable_shared_from_this<Memtable> {
 public:
  static std::shared_ptr<Memtable> create(uint64_t id) { return std::make_shared<Memtable>(id); }
  explicit Memtable(uint64_t id) : id_(id) {}

  // Adds the entry (replacing one with an equal internal key) and returns
  // (item size = key + value + 64, the memtable's size after adding it). The
  // size grows first, before the key length check, and never shrinks.
  std::pair<uint64_t, uint64_t> insert(InternalValue v);

  // The newest entry of `user_key` with a sequence number below `snapshot`,
  // tombstones included; none at snapshot 0.
  std::optional<InternalValue> get(std::string_view user_key, SeqNo snapshot) const;
  std::optional<InternalValue> get(const UserKey& user_key, SeqNo snapshot) const {
    return get(user_key.view(), snapshot);
  }

  // The entries of the user-key range with sequence numbers below `snapshot`,
  // from both ends.
  MemtableRange range(KeyRange range, SeqNo snapshot) const;
  // Every entry in internal key order, whatever its sequence number.
  MemtableRange iter() const;

  bool is_empty() const { return items_.len() == 0; }
  size_t len() const { return items_.len(); }
  std::optional<SeqNo> get_highest_seqno() const;
  uint64_t size() const { return approximate_size_.load(std::memory_order_acquire); }
  uint64_t id() const { return id_; }

 private:
  friend class MemtableRange;

  SkipList items_;
  const uint64_t id_;
  std::atomic<uint64_t> approximate_size_{0};
  std::atomic<SeqNo> highest_seqno_{0};
};

// A two-way iterator over a memtable range. The ends never cross: once they
// meet both report the end. Entries inserted while it runs may or may not be
// seen. Stepped by one thread at a time.
class MemtableRange final : public DoubleEndedSource {
 public:
  ReadItem next() override;
  ReadItem next_back() override;

 private:
  friend class Memtable;
  MemtableRange(std::shared_ptr<const Memtable> table, KeyRange range, std::optional<SeqNo> snapshot)
      : table_(std::move(table)), range_(std::move(range)), snapshot_(snapshot) {}
  bool visible(const SkipList::Node* n) const { return !snapshot_ || n->seqno() < *snapshot_; }

  std::shared_ptr<const Memtable> table_;
  KeyRange range_;
  std::optional<SeqNo> snapshot_;  // none: every entry
  const SkipList::Node* front_ = nullptr;  // last node the front yielded
  const SkipList::Node* back_ = nullptr;   // last node the back yielded
  bool front_done_ = false;
  bool back_done_ = false;
};

}  // namespace tervik
