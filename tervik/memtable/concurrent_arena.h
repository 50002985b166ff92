// A bump allocator that many threads allocate from without a lock, freed
// whole when destroyed. Backs the memtable's skip list, which is only ever
// appended to and then dropped all at once. Thread-safe.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tervik {

class ConcurrentArena {
 public:
  static constexpr size_t kBlockSize = 128 * 1024;
  static constexpr size_t kAlign = 16;

  ConcurrentArena() = default;
  ~ConcurrentArena();
  ConcurrentArena(const ConcurrentArena&) = delete;
  ConcurrentArena& operator=(const ConcurrentArena&) = delete;

  // n bytes aligned to 16, valid until the arena is destroyed.
  void* allocate(size_t n);
  // Bytes obtained from the system so far.
  size_t memory_usage() const { return memory_usage_.load(std::memory_order_relaxed); }

 private:
  struct Block {
    Block* next;  // in the list of all blocks
    size_t size;  // usable bytes
    std::atomic<size_t> used;
    uint8_t* data() { return reinterpret_cast<uint8_t*>(this) + kHeader; }
  };
  static constexpr size_t kHeader = (sizeof(Block) + kAlign - 1) / kAlign * kAlign;

  Block* new_block(size_t size, size_t used);
  void remember(Block* b);

  std::atomic<Block*> current_{nullptr};  // the block small allocations bump
  std::atomic<Block*> all_{nullptr};      // every block, for freeing
  std::atomic<size_t> memory_usage_{0};
};

}  // namespace tervik
