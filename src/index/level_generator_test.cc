#include "src/index/level_generator.h"

#include <gtest/gtest.h>

#include <limits>

namespace zv {
namespace {

TEST(ChaCha12RngTest, DrawsAreLittleEndianWordPairs) {
  std::array<uint8_t, 32> key{};
  ChaCha12Rng a(key), b(key);
  for (int i = 0; i < 100; ++i) {
    const uint64_t lo = a.next_u32(), hi = a.next_u32();
    EXPECT_EQ(b.next_u64(), lo | hi << 32) << i;
  }
  // An odd word left in the buffer pairs with the first word of the refill.
  ChaCha12Rng c(key), d(key);
  std::vector<uint32_t> words;
  for (int i = 0; i < 130; ++i) words.push_back(c.next_u32());
  for (int i = 0; i < 63; ++i) (void)d.next_u32();
  EXPECT_EQ(d.next_u64(), uint64_t{words[63]} | uint64_t{words[64]} << 32);
  EXPECT_EQ(d.bytes_refilled(), 512u);
}

TEST(ChaCha12RngTest, KeyAndCounterChangeTheStream) {
  std::array<uint8_t, 32> k0{}, k1{};
  k1[31] = 1;
  ChaCha12Rng a(k0), b(k1);
  std::vector<uint32_t> sa, sb;
  for (int i = 0; i < 256; ++i) {
    sa.push_back(a.next_u32());
    sb.push_back(b.next_u32());
  }
  EXPECT_NE(sa, sb);
  // No block repeats: the counter moves for every block.
  for (int blk = 1; blk < 16; ++blk)
    EXPECT_FALSE(std::equal(sa.begin(), sa.begin() + 16, sa.begin() + 16 * blk)) << blk;
}

TEST(LevelFromDrawTest, Table) {
  const double ml = 0.28853900817779266;
  struct Case {
    uint64_t x;
    uint64_t level;
  };
  const Case cases[] = {
      {0, 0},                                        // u = 0
      {std::numeric_limits<uint64_t>::max(), 10},    // u just below 1: -ln(2^-53) * ml = 10.6
      {uint64_t{1} << 63, 0},                        // u = 0.5
      {0xFFFFF80000000000ull, 4},                    // u = 1 - 2^-21: 4.2
  };
  for (const Case& c : cases) EXPECT_EQ(level_from_draw(c.x, ml), c.level) << c.x;
  EXPECT_EQ(level_from_draw(12345, -1.0), 0u) << "negative levels saturate at 0";
  EXPECT_EQ(level_from_draw(std::numeric_limits<uint64_t>::max(), 1e300),
            std::numeric_limits<uint64_t>::max());
}

TEST(LevelGeneratorTest, EveryIndexStartsFromTheSameKey) {
  LevelGenerator a, b;
  for (int i = 0; i < 500; ++i) EXPECT_EQ(a.draw_level(0.5), b.draw_level(0.5)) << i;
}

TEST(ChaCha12RngTest, KnownAnswers) {
  // Twenty rounds with a zero key reproduce the published ChaCha20 keystream,
  // which checks the block function the twelve-round generator shares.
  uint32_t block[16];
  chacha_block(std::array<uint32_t, 8>{}, 0, 10, block);
  EXPECT_EQ(block[0], 0xade0b876u);
  EXPECT_EQ(block[1], 0x903df1a0u);
  // Seed 42 through the PCG32 key expansion, twelve rounds, draws 0, 1, 31,
  // 32 and 63 (computed with an independent implementation).
  ChaCha12Rng rng = ChaCha12Rng::from_seed_u64(42);
  std::vector<uint64_t> draws;
  for (int i = 0; i < 64; ++i) draws.push_back(rng.next_u64());
  EXPECT_EQ(draws[0], 0x86cc7763222724a2ull);
  EXPECT_EQ(draws[1], 0x8af00a133fad517dull);
  EXPECT_EQ(draws[31], 0xe373bd0032102eecull);
  EXPECT_EQ(draws[32], 0xec0619b0ee66b7a9ull);
  EXPECT_EQ(draws[63], 0x88c5bacb2698ccc0ull);
}

TEST(LevelsForBatchTest, FollowTheSeededStream) {
  ChaCha12Rng rng = ChaCha12Rng::from_seed_u64(42);
  const auto levels = levels_for_batch(42, 64, 0.7);
  for (size_t i = 0; i < levels.size(); ++i)
    EXPECT_EQ(levels[i], level_from_draw(rng.next_u64(), 0.7)) << i;
}

}  // namespace
}  // namespace zv
