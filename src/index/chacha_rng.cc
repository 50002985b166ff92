#include "src/index/chacha_rng.h"

#include <bit>
#include <cmath>
#include <limits>

namespace zv {
namespace {

constexpr int kDoubleRounds = 6;  // twelve rounds
constexpr uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void quarter(uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

void chacha_block(const std::array<uint32_t, 8>& key, uint64_t counter, int double_rounds,
                  uint32_t* out) {
  uint32_t in[16];
  for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = static_cast<uint32_t>(counter);
  in[13] = static_cast<uint32_t>(counter >> 32);
  in[14] = 0;  // stream id
  in[15] = 0;
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = in[i];
  for (int r = 0; r < double_rounds; ++r) {
    quarter(x, 0, 4, 8, 12);
    quarter(x, 1, 5, 9, 13);
    quarter(x, 2, 6, 10, 14);
    quarter(x, 3, 7, 11, 15);
    quarter(x, 0, 5, 10, 15);
    quarter(x, 1, 6, 11, 12);
    quarter(x, 2, 7, 8, 13);
    quarter(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

ChaCha12Rng::ChaCha12Rng(const std::array<uint8_t, 32>& key) {
  for (size_t i = 0; i < 8; ++i) {
    key_[i] = uint32_t{key[4 * i]} | uint32_t{key[4 * i + 1]} << 8 |
              uint32_t{key[4 * i + 2]} << 16 | uint32_t{key[4 * i + 3]} << 24;
  }
}

ChaCha12Rng ChaCha12Rng::from_seed_u64(uint64_t seed) {
  constexpr uint64_t kMul = 6364136223846793005ull;
  constexpr uint64_t kInc = 11634580027462260723ull;
  std::array<uint8_t, 32> key{};
  uint64_t state = seed;
  for (size_t w = 0; w < 8; ++w) {
    state = state * kMul + kInc;
    const uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const uint32_t word = std::rotr(xorshifted, static_cast<int>(state >> 59));
    for (size_t b = 0; b < 4; ++b) key[4 * w + b] = static_cast<uint8_t>(word >> (8 * b));
  }
  return ChaCha12Rng(key);
}

void ChaCha12Rng::refill() {
  for (size_t b = 0; b < 4; ++b) chacha_block(key_, counter_ + b, kDoubleRounds, buf_.data() + 16 * b);
  counter_ += 4;
  ++refills_;
  pos_ = 0;
}

uint32_t ChaCha12Rng::next_u32() {
  if (pos_ >= kBufferWords) refill();
  return buf_[pos_++];
}

uint64_t ChaCha12Rng::next_u64() {
  const uint64_t lo = next_u32();
  const uint64_t hi = next_u32();
  return lo | hi << 32;
}

uint64_t level_from_draw(uint64_t x, double ml) {
  const double u = static_cast<double>(x >> 11) * 0x1.0p-53;
  const double level = std::floor(-std::log(1.0 - u) * ml);
  if (!(level > 0.0)) return 0;  // negative, zero or NaN
  if (level >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(level);
}

}  // namespace zv
