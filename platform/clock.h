// Clocks. now_ms is the precise wall clock in whole milliseconds since the Unix
// epoch (0 before 1970), the time every stored *_ms field uses; monotonic_ns is
// for measuring durations and timeouts. Thread-safe.
#pragma once

#include <cstdint>

namespace zv {

uint64_t now_ms();
// Tests only: from now on now_ms returns `ms` in every thread; 0 restores
// the wall clock. (Filters that compare stored times with now need a fixed
// now to be tested at their edges.)
void set_now_ms_for_testing(uint64_t ms);
uint64_t now_ns();        // wall clock, nanoseconds since the epoch (0 before 1970)
uint64_t monotonic_ns();
void sleep_ms(uint64_t ms);

}  // namespace zv
