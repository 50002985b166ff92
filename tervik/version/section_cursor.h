// Reads the little-endian fields of one version file section held in memory;
// running past its end is Io (unexpected end of file), as a short file read
// would be. Also bounds stored counts by the bytes left before the decoders
// reserve anything. Used by the version file codecs; one per decode.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/coding.h"
#include "platform/file.h"
#include "tervik/core/checksum.h"
#include "tervik/core/error.h"

namespace tervik {

class SectionCursor {
 public:
  explicit SectionCursor(std::string_view bytes) : rest_(bytes) {}

  size_t remaining() const { return rest_.size(); }

  TervikResult<uint8_t> u8() {
    ZV_ASSIGN_OR_RETURN(const char* p, take(1));
    return static_cast<uint8_t>(*p);
  }
  TervikResult<uint32_t> u32() {
    ZV_ASSIGN_OR_RETURN(const char* p, take(4));
    return zv::coding::get_u32_le(p);
  }
  TervikResult<uint64_t> u64() {
    ZV_ASSIGN_OR_RETURN(const char* p, take(8));
    return zv::coding::get_u64_le(p);
  }
  TervikResult<Checksum> checksum() {
    ZV_ASSIGN_OR_RETURN(const char* p, take(Checksum::kEncodedSize));
    return Checksum::decode(reinterpret_cast<const uint8_t*>(p));
  }

  // Fails unless `count` records of at least `record_size` bytes each can
  // still follow; call before reserving room for them.
  TervikStatus expect_records(uint64_t count, size_t record_size) const {
    if (count > rest_.size() / record_size) return zv::make_unexpected(TervikError::short_read());
    return {};
  }

 private:
  TervikResult<const char*> take(size_t n) {
    if (rest_.size() < n) {
      rest_ = {};
      return zv::make_unexpected(TervikError::short_read());
    }
    const char* p = rest_.data();
    rest_.remove_prefix(n);
    return p;
  }

  std::string_view rest_;
};

}  // namespace tervik
