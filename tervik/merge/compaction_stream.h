// The stream that flushes and compactions write out: the newest version of
// each key plus every older version a reader may still need. A version is
// drained (and shown to the optional hook) only behind a newer version that
// itself lies below the garbage-collection watermark: a snapshot at the
// watermark reads the newest version below it, so that one stays even when a
// newer version above the watermark exists. Tombstone eviction and sequence-number zeroing are
// the creator's choice. Read from the front only, by one thread.
#pragma once

#include <utility>

#include "platform/panic.h"
#include "tervik/core/fatal.h"
#include "tervik/core/read_item.h"
#include "tervik/merge/mvcc_stream.h"

namespace tervik {

// Sees every entry that the compaction stream drains.
class DroppedItemHook {
 public:
  virtual ~DroppedItemHook() = default;
  virtual void on_dropped(const InternalValue& entry) = 0;
};

// Sees each head of type Value or Indirection before its older versions are
// weighed (a compaction's filter); may rewrite the head in place (key and
// seqno stay) or drop it, leaving the older versions to come next.
class HeadFilter {
 public:
  virtual ~HeadFilter() = default;
  // True keeps the (possibly rewritten) head, false drops it; an error ends
  // the stream's step with it.
  virtual TervikResult<bool> filter(InternalValue& head) = 0;
};

struct CompactionStreamOptions {
  SeqNo gc_seqno_threshold = 0;
  bool evict_tombstones = false;
  bool zero_seqnos = false;
  DroppedItemHook* dropped_item_hook = nullptr;  // lent for the stream's life
  HeadFilter* head_filter = nullptr;             // lent for the stream's life
};

// M: a forward merge (Merger<...>) or any item stream with next().
template <class M>
class CompactionStream {
 public:
  CompactionStream(M inner, CompactionStreamOptions options)
      : inner_(std::move(inner)), options_(options) {}

  ReadItem next() {
    const SeqNo gc = options_.gc_seqno_threshold;
    for (;;) {
      ReadItem head = take();
      if (!head || !head->ok()) return head;
      if (options_.head_filter != nullptr && !is_tombstone(head->value().key.value_type)) {
        TervikResult<bool> kept = options_.head_filter->filter(head->value());
        if (!kept.ok()) return ReadItem(zv::make_unexpected(std::move(kept).error()));
        if (!*kept) continue;
      }
      if (!peeked_.filled) peeked_.put(inner_.next());
      if (peeked_.item && !peeked_.item->ok()) return peeked_.take();

      InternalValue& h = head->value();
      const ValueType head_type = h.key.value_type;
      if (!peeked_.item || peeked_.item->value().key.user_key != h.key.user_key) {
        // The head is the last version of its key in the stream.
        if (is_tombstone(head_type) && options_.evict_tombstones) continue;
        return emit(head);
      }
      // A head at or above the watermark hides nothing from the oldest
      // snapshot: the next version down is still the one it reads.
      if (h.key.seqno >= gc) return emit(head);
      // The head is visible to every snapshot; what lies behind it is not.
      const InternalValue& older = peeked_.item->value();
      if (head_type == ValueType::kTombstone && options_.evict_tombstones) {
        if (ReadItem err = drain_key(h.key.user_key)) return err;
        continue;
      }
      // A weak tombstone deletes exactly the value it sits on: both vanish.
      const bool annihilate =
          head_type == ValueType::kWeakTombstone && older.key.value_type == ValueType::kValue;
      if (ReadItem err = drain_key(h.key.user_key)) return err;
      if (annihilate) continue;
      return emit(head);
    }
  }

 private:
  ReadItem take() {
    if (peeked_.filled) return peeked_.take();
    return inner_.next();
  }

  ReadItem emit(ReadItem& head) {
    InternalValue& h = head->value();
    if (options_.zero_seqnos && h.key.seqno < options_.gc_seqno_threshold) h.key.seqno = 0;
    return std::move(head);
  }

  // Drops every following version of `user_key`, showing each to the hook.
  // Returns none on success, else the error item met.
  ReadItem drain_key(const UserKey& user_key) {
    for (;;) {
      ReadItem item = take();
      if (!item) {
        put_back(std::nullopt);
        return std::nullopt;
      }
      if (!item->ok()) return item;
      if (item->value().key.user_key != user_key) {
        put_back(std::move(item));
        return std::nullopt;
      }
      if (options_.dropped_item_hook) options_.dropped_item_hook->on_dropped(item->value());
    }
  }

  void put_back(ReadItem item) {
    if (peeked_.filled) zv::panic(kFatalPeekedOccupied);
    peeked_.put(std::move(item));
  }

  M inner_;
  LookaheadSlot peeked_;
  CompactionStreamOptions options_;
};

}  // namespace tervik
