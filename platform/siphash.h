// SipHash with a 128-bit key, as two 64-bit words, over a byte string: the
// 1-3 rounds form (one compression round per block, three finalisation rounds)
// that fingerprints search plans, and the 2-4 form for completeness of the
// family. Streaming hasher for callers that write many small pieces. Pure
// functions; a hasher object is single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zv {

// The family, parameterised by compression rounds C and finalisation rounds D.
template <int C, int D>
class SipHasher {
 public:
  SipHasher(uint64_t k0, uint64_t k1);

  void update(const void* data, size_t len);
  void update(std::string_view s) { update(s.data(), s.size()); }
  // The hash of everything written so far; the hasher stays usable.
  uint64_t finish() const;

 private:
  void compress(uint64_t m);

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;      // pending bytes, little-endian
  size_t tail_len_ = 0;    // 0..7
  uint64_t total_len_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t len);
uint64_t siphash24(uint64_t k0, uint64_t k1, const void* data, size_t len);

}  // namespace zv
