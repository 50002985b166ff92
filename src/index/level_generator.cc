#include "src/index/level_generator.h"

#include <optional>

#include "platform/random.h"

namespace zv {
namespace {

// Every index starts its own generator from this key.
constexpr std::array<uint8_t, 32> kIndexLevelSeed = {
    'Z', 'i', 'v', 'i', 'r', 'O', 'R', ' ', 'h', 'n', 's', 'w', ' ', 'l', 'e', 'v',
    'e', 'l', ' ', 'g', 'e', 'n', 'e', 'r', 'a', 't', 'o', 'r', ' ', 'v', '0', '1'};

constexpr uint64_t kRekeyAfterBytes = 65'536;

ChaCha12Rng os_keyed_rng() {
  std::array<uint8_t, 32> key;
  os_random_bytes(key.data(), key.size());
  return ChaCha12Rng(key);
}

// The per-thread generator of random_level.
class ThreadLevelRng {
 public:
  uint64_t next_u64() {
    const uint64_t lo = next_word();
    const uint64_t hi = next_word();
    return lo | hi << 32;
  }

 private:
  uint32_t next_word() {
    if (!rng_ || (rng_->buffer_empty() && rng_->bytes_refilled() >= kRekeyAfterBytes))
      rng_.emplace(os_keyed_rng());
    return rng_->next_u32();
  }
  std::optional<ChaCha12Rng> rng_;
};

}  // namespace

LevelGenerator::LevelGenerator() : rng_(kIndexLevelSeed) {}

uint64_t LevelGenerator::draw_level(double ml) {
  uint64_t x;
  {
    std::scoped_lock lock(mu_);
    x = rng_.next_u64();
  }
  return level_from_draw(x, ml);
}

uint64_t random_level(double ml) {
  thread_local ThreadLevelRng rng;
  return level_from_draw(rng.next_u64(), ml);
}

std::vector<uint64_t> levels_for_batch(uint64_t seed, uint64_t count, double ml) {
  ChaCha12Rng rng = ChaCha12Rng::from_seed_u64(seed);
  std::vector<uint64_t> out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(count, 1u << 20)));
  for (uint64_t i = 0; i < count; ++i) out.push_back(level_from_draw(rng.next_u64(), ml));
  return out;
}

}  // namespace zv
