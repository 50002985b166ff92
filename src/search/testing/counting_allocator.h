// Counts the bytes that operator new hands out on the calling thread while a
// scope is open, and the largest amount live at once, so that a test can
// check that a call allocates nothing in proportion to a requested count.
// Test-only; replaces the global operator new/delete of the test binary that
// links it (counting costs one thread-local test when no scope is open).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv::search_testing {

class AllocationScope {
 public:
  AllocationScope();
  ~AllocationScope();
  AllocationScope(const AllocationScope&) = delete;
  AllocationScope& operator=(const AllocationScope&) = delete;

  // Bytes allocated since the scope opened.
  uint64_t allocated() const;
  // The most bytes live at once (allocated minus freed) since it opened.
  uint64_t peak() const;
};

}  // namespace zv::search_testing
