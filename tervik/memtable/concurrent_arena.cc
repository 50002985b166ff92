#include "tervik/memtable/concurrent_arena.h"

#include <cstdlib>
#include <new>

namespace tervik {

ConcurrentArena::~ConcurrentArena() {
  Block* b = all_.load(std::memory_order_acquire);
  while (b) {
    Block* next = b->next;
    b->~Block();
    std::free(b);
    b = next;
  }
}

ConcurrentArena::Block* ConcurrentArena::new_block(size_t size, size_t used) {
  void* raw = std::aligned_alloc(kAlign, (kHeader + size + kAlign - 1) / kAlign * kAlign);
  if (!raw) throw std::bad_alloc();
  Block* b = ::new (raw) Block{nullptr, size, {}};
  b->used.store(used, std::memory_order_relaxed);
  memory_usage_.fetch_add(kHeader + size, std::memory_order_relaxed);
  return b;
}

void ConcurrentArena::remember(Block* b) {
  Block* head = all_.load(std::memory_order_relaxed);
  do {
    b->next = head;
  } while (!all_.compare_exchange_weak(head, b, std::memory_order_release,
                                       std::memory_order_relaxed));
}

void* ConcurrentArena::allocate(size_t n) {
  n = (n + kAlign - 1) / kAlign * kAlign;
  if (n > kBlockSize / 4) {
    // Large allocations get a block of their own, leaving the current one be.
    Block* b = new_block(n, n);
    remember(b);
    return b->data();
  }
  for (;;) {
    Block* b = current_.load(std::memory_order_acquire);
    if (b) {
      size_t off = b->used.fetch_add(n, std::memory_order_relaxed);
      if (off + n <= b->size) return b->data() + off;
    }
    // Exhausted (or none yet): one thread installs a fresh block; the others
    // free theirs and bump the winner's.
    Block* fresh = new_block(kBlockSize, n);
    if (current_.compare_exchange_strong(b, fresh, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      remember(fresh);
      return fresh->data();
    }
    memory_usage_.fetch_sub(kHeader + kBlockSize, std::memory_order_relaxed);
    fresh->~Block();
    std::free(fresh);
  }
}

}  // namespace tervik
