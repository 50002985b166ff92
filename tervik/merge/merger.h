// The merge iterator: turns several sources, each sorted by internal key, into
// one stream in that order, readable from the front (ascending) and the back
// (descending) in any interleaving. Every entry of every source comes out
// exactly once; nothing is filtered. Used by scans, flushes and compactions.
// Stepped by one thread at a time.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "platform/panic.h"
#include "tervik/core/fatal.h"
#include "tervik/core/read_item.h"
#include "tervik/merge/min_max_heap.h"

namespace tervik {

// Steps a source held by value or through a pointer (a boxed source).
template <class S>
ReadItem source_next(S& s) {
  if constexpr (requires { s->next(); }) {
    return s->next();
  } else {
    return s.next();
  }
}
template <class S>
ReadItem source_next_back(S& s) {
  if constexpr (requires { s->next_back(); }) {
    return s->next_back();
  } else {
    return s.next_back();
  }
}

// S: a source type (MemtableRange, a table scanner, ...) or a pointer to one
// (std::unique_ptr<DoubleEndedSource>, or std::unique_ptr<ItemSource> read
// forward only). next_back() needs double-ended sources.
template <class S>
class Merger {
 public:
  explicit Merger(std::vector<S> sources)
      : sources_(std::move(sources)), heap_(sources_.size()) {}

  ReadItem next() { return step<true>(); }
  ReadItem next_back() { return step<false>(); }

 private:
  struct HeapItem {
    size_t source;
    InternalValue entry;
  };
  struct ByInternalKey {
    bool operator()(const HeapItem& a, const HeapItem& b) const {
      return a.entry.key.compare(b.entry.key) < 0;
    }
  };

  // Templated on the end, so that forward-only sources never need next_back.
  template <bool front>
  ReadItem ask(size_t i) {
    if constexpr (front) {
      return source_next(sources_[i]);
    } else {
      return source_next_back(sources_[i]);
    }
  }

  template <bool front>
  ReadItem step() {
    bool& started = front ? front_started_ : back_started_;
    if (!started) {
      for (size_t i = 0; i < sources_.size(); ++i) {
        ReadItem item = ask<front>(i);
        if (!item) continue;
        if (!item->ok()) return item;
        heap_.push(HeapItem{i, std::move(*item).value()});
      }
      started = true;
    }
    std::optional<HeapItem> top = front ? heap_.pop_min() : heap_.pop_max();
    if (!top) return std::nullopt;
    if (top->source >= sources_.size()) zv::panic(kFatalBadSourceIndex);
    ReadItem refill = ask<front>(top->source);
    if (refill) {
      if (!refill->ok()) return refill;  // the removed entry is dropped
      heap_.push(HeapItem{top->source, std::move(*refill).value()});
    }
    return ReadItem(std::move(top->entry));
  }

  std::vector<S> sources_;
  MinMaxHeap<HeapItem, ByInternalKey> heap_;
  bool front_started_ = false;
  bool back_started_ = false;
};

}  // namespace tervik
