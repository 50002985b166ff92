// Which pages of an address range are resident in physical memory: the query
// behind the memory gauges of mapped files and in-memory buffers alike. The
// system is asked in calls of at most kResidencyPagesPerCall pages. Safe to
// call from any thread on any range the caller keeps mapped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

inline constexpr size_t kResidencyPagesPerCall = 65536;

struct Residency {
  bool known = false;   // false where the system cannot tell
  uint64_t pages = 0;   // resident pages of the range (whole pages touched)
};

// Resident pages among the pages that [addr, addr + len) touches. A null
// address or a zero length gives {true, 0}; a range the system refuses (not
// mapped, or no residency query) gives {false, 0}.
Residency resident_pages_in_range(const void* addr, size_t len);

// The page size the query counts in.
size_t residency_page_size();

}  // namespace zv
