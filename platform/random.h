// The operating system's random source, for seeds, sampling and temporary
// file names. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

// Fills buf with random bytes from the OS; never fails short of a broken
// system (then it panics).
void os_random_bytes(void* buf, size_t len);
uint64_t os_random_u64();

}  // namespace zv
