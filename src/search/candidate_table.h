// The scored candidates of one stage call, keyed by node id: an open-
// addressing index over a dense vector of entries, and an arena holding the
// record key each candidate's first posting named. A stage scores hundreds
// of thousands of postings per call; a node-based map would allocate once
// per candidate and chase a pointer per posting. Owned by one call: not
// safe to share between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/foundation/node_id.h"

namespace zv::search {

// `Entry` is default-constructible; the table adds the id and the key.
template <class Entry>
class CandidateTable {
 public:
  struct Slot {
    NodeId id = 0;
    uint64_t key_offset = 0;
    uint32_t key_size = 0;
    Entry value{};
  };

  // The entry of `id`, and whether it was added by this call (then with
  // `record_key` kept as its key).
  std::pair<Entry*, bool> find_or_add(NodeId id, std::string_view record_key) {
    if ((slots_.size() + 1) * 2 > index_.size()) grow();
    size_t at = home(id);
    while (true) {
      const uint32_t s = index_[at];
      if (s == 0) break;
      if (slots_[s - 1].id == id) return {&slots_[s - 1].value, false};
      at = (at + 1) & mask_;
    }
    index_[at] = static_cast<uint32_t>(slots_.size() + 1);
    Slot& slot = slots_.emplace_back();
    slot.id = id;
    slot.key_offset = keys_.size();
    slot.key_size = static_cast<uint32_t>(record_key.size());
    keys_.append(record_key);
    return {&slot.value, true};
  }

  // The entry of `id`, or null.
  Entry* find(NodeId id) {
    if (index_.empty()) return nullptr;
    for (size_t at = home(id);; at = (at + 1) & mask_) {
      const uint32_t s = index_[at];
      if (s == 0) return nullptr;
      if (slots_[s - 1].id == id) return &slots_[s - 1].value;
    }
  }

  // Room for `n` entries in all without growing. Callers pass an estimate
  // bounded by what was found, never a count a request can set.
  void reserve(size_t n) {
    while (n * 2 > index_.size()) grow();
    slots_.reserve(n);
  }

  // The slot number of an entry this table handed out.
  size_t slot_number(const Entry* value) const {
    const auto* first = reinterpret_cast<const char*>(&slots_.front().value);
    return static_cast<size_t>(reinterpret_cast<const char*>(value) - first) / sizeof(Slot);
  }

  size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  std::vector<Slot>& slots() { return slots_; }
  const std::vector<Slot>& slots() const { return slots_; }
  // The record key of a slot; valid until the next find_or_add.
  std::string_view key(const Slot& slot) const {
    return std::string_view(keys_).substr(slot.key_offset, slot.key_size);
  }

 private:
  size_t home(NodeId id) const {
    const uint64_t lo = node_id_low(id), hi = node_id_high(id);
    return static_cast<size_t>(((lo ^ (hi * 0x9E3779B97F4A7C15ull)) * 0xD6E8FEB86659FD93ull) >>
                               shift_);
  }

  void grow() {
    const size_t capacity = index_.empty() ? 64 : index_.size() * 2;
    index_.assign(capacity, 0);
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
    for (size_t s = 0; s < slots_.size(); ++s) {
      size_t at = home(slots_[s].id);
      while (index_[at] != 0) at = (at + 1) & mask_;
      index_[at] = static_cast<uint32_t>(s + 1);
    }
  }

  std::vector<uint32_t> index_;  // 0 empty, else slot number + 1
  std::vector<Slot> slots_;
  std::string keys_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace zv::search
