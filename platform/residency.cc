#include "platform/residency.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace zv {

size_t residency_page_size() {
  static const size_t ps = [] {
    long p = ::sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<size_t>(p) : size_t{4096};
  }();
  return ps;
}

Residency resident_pages_in_range(const void* addr, size_t len) {
  if (addr == nullptr || len == 0) return {true, 0};
  const size_t ps = residency_page_size();
  const uintptr_t first = reinterpret_cast<uintptr_t>(addr) / ps;
  const uintptr_t last_byte = reinterpret_cast<uintptr_t>(addr) + (len - 1);
  if (last_byte < reinterpret_cast<uintptr_t>(addr)) return {false, 0};  // wraps
  const uintptr_t last = last_byte / ps;
  uint64_t total_pages = static_cast<uint64_t>(last - first) + 1;
  std::vector<unsigned char> status(
      static_cast<size_t>(std::min<uint64_t>(total_pages, kResidencyPagesPerCall)));
  uint64_t resident = 0;
  uintptr_t page = first;
  while (total_pages > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(total_pages, kResidencyPagesPerCall));
    if (::mincore(reinterpret_cast<void*>(page * ps), n * ps, status.data()) != 0)
      return {false, 0};
    for (size_t i = 0; i < n; ++i) resident += status[i] & 1;
    page += n;
    total_pages -= n;
  }
  return {true, resident};
}

}  // namespace zv
