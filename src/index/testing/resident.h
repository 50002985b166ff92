// The resident memory of the test process, for tests that bound what an
// index holds against what the process really grew by. Test-only; Linux.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace zv::testing {

// Resident bytes of this process. Within a test binary that ran other tests
// first, freed memory is reused without growing it: measure in a fresh
// process (see in_fresh_process).
inline uint64_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return uint64_t{resident} * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// Runs `body` in a newly started copy of the test binary (so that the heap
// holds nothing freed by earlier tests) and expects it to return true; what it
// prints to stderr shows in the failure.
#define ZV_EXPECT_IN_FRESH_PROCESS(body)                                          \
  do {                                                                           \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                              \
    EXPECT_EXIT(std::exit((body) ? 0 : 1), ::testing::ExitedWithCode(0), ".*"); \
  } while (0)

}  // namespace zv::testing
