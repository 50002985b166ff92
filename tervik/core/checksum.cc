#include "tervik/core/checksum.h"

#include <algorithm>

#include "platform/coding.h"

namespace tervik {

void Checksum::encode_to(std::string* dst) const {
  zv::coding::put_u64_le(dst, low);
  zv::coding::put_u64_le(dst, high);
}

Checksum Checksum::decode(const uint8_t* src) {
  return Checksum(zv::coding::get_u64_le(src), zv::coding::get_u64_le(src + 8));
}

std::string u128_to_decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string out;
  while (v != 0) {
    out.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::string Checksum::debug_string() const {
  return "Checksum(" + u128_to_decimal(value()) + ")";
}

}  // namespace tervik
