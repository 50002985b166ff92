#include "tervik/memtable/skip_list.h"

#include <new>

#include "platform/random.h"

namespace tervik {

namespace {

// Per-thread xorshift for tower heights.
uint64_t next_random() {
  thread_local uint64_t state = zv::os_random_u64() | 1;
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

}  // namespace

SkipList::SkipList() {
  void* raw = arena_.allocate(sizeof(Node) + kMaxHeight * sizeof(std::atomic<Node*>));
  head_ = ::new (raw) Node(Slice(), 0, nullptr, kMaxHeight);
  for (int i = 0; i < kMaxHeight; ++i) ::new (&head_->links()[i]) std::atomic<Node*>(nullptr);
}

SkipList::~SkipList() {
  // The arena frees the memory; the keys and values hold shared buffers that
  // must be released, replaced entries included.
  Node* n = head_;
  while (n) {
    Node* next = n->links()[0].load(std::memory_order_relaxed);
    Entry* e = n->entry_.load(std::memory_order_relaxed);
    while (e) {
      Entry* older = e->replaced;
      e->~Entry();
      e = older;
    }
    n->~Node();
    n = next;
  }
}

int SkipList::random_height() {
  // Each level with probability 1/4.
  uint64_t r = next_random();
  int h = 1;
  while (h < kMaxHeight && (r & 3) == 0) {
    ++h;
    r >>= 2;
  }
  return h;
}

SkipList::Node* SkipList::new_node(InternalValue v, int height) {
  const size_t links = height * sizeof(std::atomic<Node*>);
  auto* raw = static_cast<uint8_t*>(arena_.allocate(sizeof(Node) + links + sizeof(Entry)));
  Entry* e = ::new (raw + sizeof(Node) + links) Entry{std::move(v.value), v.key.value_type, nullptr};
  Node* n = ::new (raw) Node(std::move(v.key.user_key), v.key.seqno, e, height);
  for (int i = 0; i < height; ++i) ::new (&n->links()[i]) std::atomic<Node*>(nullptr);
  return n;
}

void SkipList::find_splice(std::string_view user_key, SeqNo seqno, Node** preds,
                           Node** succs) const {
  Node* x = head_;
  Node* stop = nullptr;  // known not before the key: no need to compare again
  for (int level = kMaxHeight - 1; level >= 0; --level) {
    Node* n = x->links()[level].load(std::memory_order_acquire);
    while (n != stop && n && compare(n, user_key, seqno) < 0) {
      x = n;
      n = x->links()[level].load(std::memory_order_acquire);
    }
    preds[level] = x;
    succs[level] = n;
    stop = n;
  }
}

bool SkipList::insert(InternalValue v) {
  Node* preds[kMaxHeight];
  Node* succs[kMaxHeight];
  std::string_view key = v.key.user_key.view();
  const SeqNo seqno = v.key.seqno;
  Node* node = nullptr;
  find_splice(key, seqno, preds, succs);
  for (;;) {
    if (succs[0] && compare(succs[0], key, seqno) == 0) {
      // Equal internal key: the later insert replaces the entry.
      Node* same = succs[0];
      Entry* e;
      if (node) {
        // Lost the race to link: the unlinked node's entry moves over; the
        // rest of its arena memory is simply left unused.
        e = node->entry_.load(std::memory_order_relaxed);
        node->~Node();
      } else {
        e = ::new (arena_.allocate(sizeof(Entry))) Entry{std::move(v.value), v.key.value_type, nullptr};
      }
      e->replaced = same->entry_.exchange(e, std::memory_order_acq_rel);
      return false;
    }
    if (!node) {
      node = new_node(std::move(v), random_height());
      key = node->user_key_.view();  // v's key was moved into the node
    }
    node->links()[0].store(succs[0], std::memory_order_relaxed);
    if (preds[0]->links()[0].compare_exchange_strong(succs[0], node, std::memory_order_release,
                                                     std::memory_order_relaxed)) {
      break;
    }
    find_splice(key, seqno, preds, succs);
  }
  len_.fetch_add(1, std::memory_order_release);

  // Raise the list height, then link the upper levels one by one.
  int h = node->height_;
  int cur = height_.load(std::memory_order_relaxed);
  while (h > cur && !height_.compare_exchange_weak(cur, h, std::memory_order_acq_rel)) {
  }
  for (int level = 1; level < h; ++level) {
    for (;;) {
      node->links()[level].store(succs[level], std::memory_order_relaxed);
      if (preds[level]->links()[level].compare_exchange_strong(
              succs[level], node, std::memory_order_release, std::memory_order_relaxed)) {
        break;
      }
      find_splice(key, seqno, preds, succs);
    }
  }
  return true;
}

const SkipList::Node* SkipList::seek(std::string_view user_key, SeqNo seqno) const {
  return first_not_before([&](const Node& n) { return compare(&n, user_key, seqno) < 0; });
}

}  // namespace tervik
