// The two sources of node levels: the index's own generator (fixed key, so the
// same insertions draw the same levels in every process; used by `add`) and
// the free functions behind `random_level` (per-thread, keyed from the OS)
// and `levels_for_batch` (keyed from a caller's seed). LevelGenerator is safe
// to share: draws take its mutex.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "src/index/chacha_rng.h"

namespace zv {

class LevelGenerator {
 public:
  LevelGenerator();
  uint64_t draw_level(double ml);

 private:
  std::mutex mu_;  // guards rng_
  ChaCha12Rng rng_;
};

// A level from this thread's generator, keyed from the OS random source on
// first use and re-keyed after every 65,536 bytes of output.
uint64_t random_level(double ml);

// `count` levels from a fresh generator keyed from `seed`; the same seed
// always gives the same levels.
std::vector<uint64_t> levels_for_batch(uint64_t seed, uint64_t count, double ml);

}  // namespace zv
