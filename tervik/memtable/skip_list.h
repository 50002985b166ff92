// The memtable's ordered map: an arena-backed skip list keyed by internal key
// (user key ascending, sequence number descending). Inserts link nodes with
// compare-and-swap, readers walk without any lock, and an insert of a key
// already present replaces its entry (the later insert wins). Nodes are never
// removed; all memory goes with the list. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "tervik/core/internal_value.h"
#include "tervik/memtable/concurrent_arena.h"

namespace tervik {

class SkipList {
 public:
  static constexpr int kMaxHeight = 20;

  // The replaceable part of an entry; a replacement installs a new one and
  // keeps the old one (readers may hold it) until the list is destroyed.
  struct Entry {
    UserValue value;
    ValueType type;
    Entry* replaced = nullptr;
  };

  // Laid out so that a search touches one cache line per node where it can:
  // the key, then the links; the entry sits after the links.
  class Node {
   public:
    const UserKey& user_key() const { return user_key_; }
    SeqNo seqno() const { return seqno_; }
    // A copy of the entry as it stands (keys and values shared, not copied).
    InternalValue load() const {
      const Entry* e = entry_.load(std::memory_order_acquire);
      return InternalValue(InternalKey(user_key_, seqno_, e->type), e->value);
    }
    Node* next(int level) const { return links()[level].load(std::memory_order_acquire); }

   private:
    friend class SkipList;
    Node(UserKey k, SeqNo s, Entry* e, int height)
        : user_key_(std::move(k)), seqno_(s), entry_(e), height_(height) {}
    std::atomic<Node*>* links() const {
      return reinterpret_cast<std::atomic<Node*>*>(const_cast<Node*>(this) + 1);
    }

    UserKey user_key_;
    SeqNo seqno_;
    std::atomic<Entry*> entry_;
    int height_;
    // followed by height_ links, then the first entry
  };

  SkipList();
  ~SkipList();
  SkipList(const SkipList&) = delete;
  SkipList& operator=(const SkipList&) = delete;

  // Inserts the entry, or replaces the entry of an equal internal key.
  // Returns true when a new node was linked.
  bool insert(InternalValue v);

  // The first node whose internal key is at or after (user_key, seqno).
  const Node* seek(std::string_view user_key, SeqNo seqno) const;
  // The first node for which before(node) is false; `before` must hold for a
  // prefix of the list only.
  template <class Before>
  const Node* first_not_before(Before&& before) const;
  // The last node for which before(node) holds (same rule), or null.
  template <class Before>
  const Node* last_before(Before&& before) const;
  const Node* first() const { return head_->next(0); }

  size_t len() const { return len_.load(std::memory_order_acquire); }
  size_t memory_usage() const { return arena_.memory_usage(); }

 private:
  // Negative when the node sorts before (user_key, seqno).
  static int compare(const Node* n, std::string_view user_key, SeqNo seqno) {
    int c = n->user_key_.compare(user_key);
    if (c != 0) return c;
    return n->seqno_ > seqno ? -1 : (n->seqno_ < seqno ? 1 : 0);
  }
  int random_height();
  Node* new_node(InternalValue v, int height);
  // Fills preds/succs at every level for the key.
  void find_splice(std::string_view user_key, SeqNo seqno, Node** preds, Node** succs) const;

  ConcurrentArena arena_;
  Node* head_;
  std::atomic<int> height_{1};
  std::atomic<size_t> len_{0};
};

template <class Before>
const SkipList::Node* SkipList::first_not_before(Before&& before) const {
  const Node* x = head_;
  const Node* stop = nullptr;  // known not before: no need to compare again
  for (int level = height_.load(std::memory_order_acquire) - 1; level >= 0; --level) {
    const Node* n = x->next(level);
    while (n != stop && n && before(*n)) {
      x = n;
      n = x->next(level);
    }
    stop = n;
  }
  // The node the bottom level stopped at, not a fresh read of x's link: an
  // insert may have linked a node behind x since, one that is still before
  // (for a seek, a version newer than the snapshot).
  return stop;
}

template <class Before>
const SkipList::Node* SkipList::last_before(Before&& before) const {
  const Node* x = head_;
  const Node* stop = nullptr;
  for (int level = height_.load(std::memory_order_acquire) - 1; level >= 0; --level) {
    const Node* n = x->next(level);
    while (n != stop && n && before(*n)) {
      x = n;
      n = x->next(level);
    }
    stop = n;
  }
  return x == head_ ? nullptr : x;
}

}  // namespace tervik
