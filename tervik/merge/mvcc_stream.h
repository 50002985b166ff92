// Read-path adapters over a merge: MvccStream keeps only the newest version
// of each user key, from either end; TombstoneFilter drops keys whose newest
// version is a deletion; SeqnoFilter hides a source's entries at or above the
// read snapshot. Errors always pass through. Each is stepped by one thread at
// a time.
#pragma once

#include <utility>

#include "platform/panic.h"
#include "tervik/core/fatal.h"
#include "tervik/core/read_item.h"
#include "tervik/merge/merger.h"

namespace tervik {

// One lookahead slot: empty, an item (entry or error), or the end mark.
struct LookaheadSlot {
  bool filled = false;
  ReadItem item;  // when filled: the item, or none for the end mark

  ReadItem take() {
    filled = false;
    return std::move(item);
  }
  void put(ReadItem i) {
    filled = true;
    item = std::move(i);
  }
  bool holds_item() const { return filled && item.has_value(); }
};

// A two-ended, one-item lookahead over a merge M (next / next_back).
template <class M>
class Lookahead {
 public:
  explicit Lookahead(M inner) : inner_(std::move(inner)) {}

  ReadItem next() { return step(front_, back_, true); }
  ReadItem next_back() { return step(back_, front_, false); }

  // The item just before the back end, filling the back slot first; null
  // when none is left.
  ReadItem* peek_back() {
    if (!back_.filled) back_.put(inner_.next_back());
    if (back_.holds_item()) return &back_.item;
    if (!back_.item && front_.holds_item()) return &front_.item;
    return nullptr;
  }
  // Takes the error found by peek_back out of the slot that holds it.
  ReadItem take_peeked_back() {
    LookaheadSlot& slot = back_.holds_item() ? back_ : front_;
    if (!slot.holds_item()) zv::panic(kFatalShouldExist);
    if (slot.item->ok()) zv::panic(kFatalShouldBeError);
    return slot.take();
  }
  // Stores an item back into the (empty) front slot.
  void put_front(ReadItem item) { front_.put(std::move(item)); }

 private:
  ReadItem step(LookaheadSlot& near, LookaheadSlot& far, bool front) {
    if (near.filled) {
      ReadItem held = near.take();
      if (held) return held;
    } else {
      ReadItem got = front ? inner_.next() : inner_.next_back();
      if (got) return got;
    }
    // This end is exhausted: what the other end holds comes next.
    if (far.filled) return far.take();
    return std::nullopt;
  }

  LookaheadSlot front_;
  LookaheadSlot back_;
  M inner_;
};

template <class M>
class MvccStream {
 public:
  explicit MvccStream(M merge) : inner_(std::move(merge)) {}

  ReadItem next() {
    ReadItem head = inner_.next();
    if (!head || !head->ok()) return head;
    for (;;) {
      ReadItem item = inner_.next();
      if (item && !item->ok()) return item;  // the head is lost with it
      if (!item || item->value().key.user_key != head->value().key.user_key) {
        inner_.put_front(std::move(item));
        return head;
      }
    }
  }

  ReadItem next_back() {
    for (;;) {
      ReadItem tail = inner_.next_back();
      if (!tail || !tail->ok()) return tail;
      ReadItem* prev = inner_.peek_back();
      if (!prev) return tail;
      if (!(*prev)->ok()) return inner_.take_peeked_back();
      // A version of the same key before it is newer: it replaces the tail.
      if ((*prev)->value().key.user_key.compare(tail->value().key.user_key) < 0) return tail;
    }
  }

 private:
  Lookahead<M> inner_;
};

template <class M>
class TombstoneFilter {
 public:
  explicit TombstoneFilter(M merge) : inner_(std::move(merge)) {}

  ReadItem next() {
    for (;;) {
      ReadItem item = inner_.next();
      if (!item || !item->ok() || !item->value().is_tombstone()) return item;
    }
  }
  ReadItem next_back() {
    for (;;) {
      ReadItem item = inner_.next_back();
      if (!item || !item->ok() || !item->value().is_tombstone()) return item;
    }
  }

 private:
  MvccStream<M> inner_;
};

// Hides entries whose sequence number is not below the snapshot. S: a source
// held by value or pointer, as for Merger.
template <class S>
class SeqnoFilter final : public DoubleEndedSource {
 public:
  SeqnoFilter(S source, SeqNo seqno) : source_(std::move(source)), seqno_(seqno) {}

  ReadItem next() override {
    for (;;) {
      ReadItem item = source_next(source_);
      if (!item || !item->ok() || item->value().key.seqno < seqno_) return item;
    }
  }
  ReadItem next_back() override {
    for (;;) {
      ReadItem item = source_next_back(source_);
      if (!item || !item->ok() || item->value().key.seqno < seqno_) return item;
    }
  }

 private:
  S source_;
  SeqNo seqno_;
};

}  // namespace tervik
