// Whether a benchmark runs as a smoke test (ZV_BENCH_SMOKE=1, set by ctest's
// bench-smoke entries): benchmarks then pick small sizes so that a run takes a
// few seconds and only proves that the benchmark still works.
#pragma once

#include <cstdlib>
#include <cstring>

namespace zv::bench {

inline bool smoke() {
  const char* v = std::getenv("ZV_BENCH_SMOKE");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

// `full` normally, `small` under a smoke run.
template <typename T>
T sized(T full, T small) {
  return smoke() ? small : full;
}

}  // namespace zv::bench
