#include "src/search/testing/counting_allocator.h"

#include <cstdlib>
#include <new>

namespace zv::search_testing {
namespace {

struct Tally {
  bool on = false;
  uint64_t allocated = 0;
  int64_t live = 0;
  int64_t peak = 0;
};

thread_local Tally tally;

// Each block carries its size in front, so that a free while counting
// subtracts what the block took.
constexpr size_t kHeader = alignof(std::max_align_t);

void* allocate(size_t n) {
  void* raw = std::malloc(n + kHeader);
  if (raw == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(raw) = n;
  if (tally.on) {
    tally.allocated += n;
    tally.live += static_cast<int64_t>(n);
    if (tally.live > tally.peak) tally.peak = tally.live;
  }
  return static_cast<char*>(raw) + kHeader;
}

void release(void* p) {
  if (p == nullptr) return;
  void* raw = static_cast<char*>(p) - kHeader;
  if (tally.on) tally.live -= static_cast<int64_t>(*static_cast<size_t*>(raw));
  std::free(raw);
}

}  // namespace

AllocationScope::AllocationScope() { tally = Tally{true, 0, 0, 0}; }
AllocationScope::~AllocationScope() { tally.on = false; }
uint64_t AllocationScope::allocated() const { return tally.allocated; }
uint64_t AllocationScope::peak() const { return static_cast<uint64_t>(tally.peak); }

}  // namespace zv::search_testing

void* operator new(size_t n) { return zv::search_testing::allocate(n); }
void* operator new[](size_t n) { return zv::search_testing::allocate(n); }
void operator delete(void* p) noexcept { zv::search_testing::release(p); }
void operator delete[](void* p) noexcept { zv::search_testing::release(p); }
void operator delete(void* p, size_t) noexcept { zv::search_testing::release(p); }
void operator delete[](void* p, size_t) noexcept { zv::search_testing::release(p); }
