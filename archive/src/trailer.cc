#include "archive/src/trailer.h"

#include "platform/coding.h"

namespace zv::archive {

void put_checksum(std::string* dst, Hash128 c) {
  coding::put_u64_le(dst, c.low);
  coding::put_u64_le(dst, c.high);
}

Hash128 get_checksum(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return Hash128{coding::get_u64_le(b), coding::get_u64_le(b + 8)};
}

void Trailer::encode_to(std::string* dst) const {
  dst->append(magic);
  coding::put_u8(dst, version);
  coding::put_u8(dst, checksum_type);
  put_checksum(dst, toc_checksum);
  coding::put_u64_le(dst, toc_pos);
  coding::put_u64_le(dst, toc_len);
}

}  // namespace zv::archive
