#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <time.h>

namespace zv {

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(ts.tv_nsec);
}

namespace {
std::atomic<uint64_t> test_now_ms{0};
}  // namespace

uint64_t now_ms() {
  const uint64_t fixed = test_now_ms.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : now_ns() / 1000000ull;
}

void set_now_ms_for_testing(uint64_t ms) { test_now_ms.store(ms, std::memory_order_relaxed); }

uint64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(ts.tv_nsec);
}

void sleep_ms(uint64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace zv
