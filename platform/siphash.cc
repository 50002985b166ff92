#include "platform/siphash.h"

#include <bit>

#include "platform/coding.h"

namespace zv {
namespace {

struct State {
  uint64_t& v0;
  uint64_t& v1;
  uint64_t& v2;
  uint64_t& v3;
  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
};

}  // namespace

template <int C, int D>
SipHasher<C, D>::SipHasher(uint64_t k0, uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

template <int C, int D>
void SipHasher<C, D>::compress(uint64_t m) {
  State s{v0_, v1_, v2_, v3_};
  v3_ ^= m;
  for (int i = 0; i < C; ++i) s.round();
  v0_ ^= m;
}

template <int C, int D>
void SipHasher<C, D>::update(const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  total_len_ += len;
  // Fill a pending partial block first.
  while (len > 0 && tail_len_ > 0) {
    tail_ |= static_cast<uint64_t>(*p++) << (8 * tail_len_);
    --len;
    if (++tail_len_ == 8) {
      compress(tail_);
      tail_ = 0;
      tail_len_ = 0;
    }
  }
  for (; len >= 8; len -= 8, p += 8) compress(coding::get_u64_le(p));
  for (; len > 0; --len) tail_ |= static_cast<uint64_t>(*p++) << (8 * tail_len_++);
}

template <int C, int D>
uint64_t SipHasher<C, D>::finish() const {
  SipHasher copy = *this;
  copy.compress(copy.tail_ | (copy.total_len_ << 56));
  State s{copy.v0_, copy.v1_, copy.v2_, copy.v3_};
  copy.v2_ ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return copy.v0_ ^ copy.v1_ ^ copy.v2_ ^ copy.v3_;
}

template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t len) {
  SipHasher13 h(k0, k1);
  h.update(data, len);
  return h.finish();
}

uint64_t siphash24(uint64_t k0, uint64_t k1, const void* data, size_t len) {
  SipHasher24 h(k0, k1);
  h.update(data, len);
  return h.finish();
}

}  // namespace zv
