// A ChaCha12 random generator (32-byte key, stream 0, 64-bit block counter)
// that buffers four blocks (64 words) at a time and draws 64-bit values low
// word first; plus the level formula of the graph. Used by the index's level
// generators. Not thread-safe: each owner serialises its draws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zv {

class ChaCha12Rng {
 public:
  static constexpr size_t kBufferWords = 64;

  explicit ChaCha12Rng(const std::array<uint8_t, 32>& key);
  // A key built from a 64-bit seed by the PCG32 expansion (eight 32-bit words,
  // little-endian), so that one seed always gives one sequence.
  static ChaCha12Rng from_seed_u64(uint64_t seed);

  uint32_t next_u32();
  uint64_t next_u64();
  // Bytes handed out so far, counted in whole refills of 256 bytes.
  uint64_t bytes_refilled() const { return refills_ * kBufferWords * 4; }
  // True when the next draw refills the buffer.
  bool buffer_empty() const { return pos_ >= kBufferWords; }

 private:
  void refill();

  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;
  uint64_t refills_ = 0;
  std::array<uint32_t, kBufferWords> buf_{};
  size_t pos_ = kBufferWords;  // empty until the first draw
};

// One ChaCha block: 16 output words for key, 64-bit block counter (stream 0)
// and the given number of double rounds.
void chacha_block(const std::array<uint32_t, 8>& key, uint64_t counter, int double_rounds,
                  uint32_t* out);

// The level of a 64-bit draw x: floor(-ln(1 - u) * ml) for u = (x >> 11) * 2^-53,
// converted to unsigned by saturation (negative or NaN gives 0).
uint64_t level_from_draw(uint64_t x, double ml);

}  // namespace zv
