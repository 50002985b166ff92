// The 128-bit XXH3 checksum (seed 0) stored in every file of the tree, with
// its 16-byte stored form (low half first, each half little-endian) and its
// print form "Checksum(n)". Plain value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/checksum.h"

namespace tervik {

struct Checksum {
  static constexpr size_t kEncodedSize = 16;

  uint64_t low = 0;
  uint64_t high = 0;

  Checksum() = default;
  Checksum(uint64_t lo, uint64_t hi) : low(lo), high(hi) {}
  explicit Checksum(zv::Hash128 h) : low(h.low), high(h.high) {}
  static Checksum from_u128(unsigned __int128 v) {
    return Checksum(static_cast<uint64_t>(v), static_cast<uint64_t>(v >> 64));
  }
  // One-shot XXH3-128 of the bytes.
  static Checksum of(std::string_view bytes) { return Checksum(zv::xxh3_128(bytes)); }

  unsigned __int128 value() const {
    return (static_cast<unsigned __int128>(high) << 64) | low;
  }
  bool operator==(const Checksum&) const = default;

  void encode_to(std::string* dst) const;
  // Reads 16 stored bytes.
  static Checksum decode(const uint8_t* src);

  // "Checksum(n)", n in decimal; the display form is the same text.
  std::string debug_string() const;
};

// Decimal digits of a 128-bit unsigned value.
std::string u128_to_decimal(unsigned __int128 v);

}  // namespace tervik
