// The fixed 38-byte trailer at the end of every archive: magic, version,
// checksum type, the table of contents' XXH3-128 checksum, its offset and its
// length. Pure value and coding functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/checksum.h"

namespace zv::archive {

inline constexpr std::string_view kTrailerMagic = "QZR!";
inline constexpr uint8_t kTrailerVersion = 1;
inline constexpr uint8_t kChecksumTypeXxh3 = 0;
inline constexpr uint64_t kTrailerSize = 38;

// Field offsets inside the trailer.
inline constexpr size_t kTrailerVersionOffset = 4;
inline constexpr size_t kTrailerChecksumTypeOffset = 5;
inline constexpr size_t kTrailerChecksumOffset = 6;
inline constexpr size_t kTrailerTocPosOffset = 22;
inline constexpr size_t kTrailerTocLenOffset = 30;

struct Trailer {
  std::string magic{kTrailerMagic};
  uint8_t version = kTrailerVersion;
  uint8_t checksum_type = kChecksumTypeXxh3;
  Hash128 toc_checksum;
  uint64_t toc_pos = 0;
  uint64_t toc_len = 0;

  // Appends the 38 bytes.
  void encode_to(std::string* dst) const;
};

// A checksum as stored: 16 bytes, low 64-bit half first, each little-endian.
void put_checksum(std::string* dst, Hash128 c);
Hash128 get_checksum(const void* p);

}  // namespace zv::archive
