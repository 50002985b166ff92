// Byte coding shared by every format: little- and big-endian fixed widths,
// LEB128 varints (with a width cap on decode) and zigzag. Pure functions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zv::coding {

inline void put_u8(std::string* dst, uint8_t v) { dst->push_back(static_cast<char>(v)); }

template <class T>
inline void put_le(std::string* dst, T v) {
  char buf[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) buf[i] = static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
  dst->append(buf, sizeof(T));
}
template <class T>
inline void put_be(std::string* dst, T v) {
  char buf[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i)
    buf[sizeof(T) - 1 - i] = static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
  dst->append(buf, sizeof(T));
}
inline void put_u16_le(std::string* d, uint16_t v) { put_le(d, v); }
inline void put_u32_le(std::string* d, uint32_t v) { put_le(d, v); }
inline void put_u64_le(std::string* d, uint64_t v) { put_le(d, v); }
inline void put_u32_be(std::string* d, uint32_t v) { put_be(d, v); }
inline void put_u64_be(std::string* d, uint64_t v) { put_be(d, v); }
inline void put_f32_le(std::string* d, float f) { uint32_t u; std::memcpy(&u, &f, 4); put_le(d, u); }
inline void put_f64_le(std::string* d, double f) { uint64_t u; std::memcpy(&u, &f, 8); put_le(d, u); }

template <class T>
inline T get_le(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(b[i]) << (8 * i);
  return static_cast<T>(v);
}
template <class T>
inline T get_be(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v = (v << 8) | b[i];
  return static_cast<T>(v);
}
inline uint16_t get_u16_le(const void* p) { return get_le<uint16_t>(p); }
inline uint32_t get_u32_le(const void* p) { return get_le<uint32_t>(p); }
inline uint64_t get_u64_le(const void* p) { return get_le<uint64_t>(p); }
inline uint32_t get_u32_be(const void* p) { return get_be<uint32_t>(p); }
inline uint64_t get_u64_be(const void* p) { return get_be<uint64_t>(p); }
inline float get_f32_le(const void* p) { uint32_t u = get_le<uint32_t>(p); float f; std::memcpy(&f, &u, 4); return f; }
inline double get_f64_le(const void* p) { uint64_t u = get_le<uint64_t>(p); double f; std::memcpy(&f, &u, 8); return f; }

// The little-endian bytes of a value as a string (stored property values).
inline std::string u64_le_bytes(uint64_t v) {
  std::string s;
  put_u64_le(&s, v);
  return s;
}
inline std::string u128_le_bytes(unsigned __int128 v) {
  std::string s;
  put_u64_le(&s, static_cast<uint64_t>(v));
  put_u64_le(&s, static_cast<uint64_t>(v >> 64));
  return s;
}

// Unsigned LEB128.
inline void put_varint(std::string* dst, uint64_t v) {
  while (v >= 0x80) {
    dst->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  dst->push_back(static_cast<char>(v));
}
inline size_t varint_len(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) { v >>= 7; ++n; }
  return n;
}

enum class VarintStatus { kOk, kTruncated, kOverflow };

// Decodes a LEB128 value of at most `bits` bits (64, 32, 16) from [*pos, end):
// at most ceil(bits / 7) bytes, and the last byte may not carry bits beyond
// the width. Advances *pos on success only.
inline VarintStatus get_varint(const uint8_t** pos, const uint8_t* end,
                               uint64_t* out, unsigned bits = 64) {
  const uint8_t* p = *pos;
  const unsigned max_bytes = (bits + 6) / 7;
  uint64_t v = 0;
  for (unsigned i = 0; i < max_bytes; ++i) {
    if (p >= end) return VarintStatus::kTruncated;
    uint8_t b = *p++;
    unsigned shift = 7 * i;
    uint64_t chunk = b & 0x7F;
    if (i == max_bytes - 1) {
      unsigned room = bits - shift;  // bits left for this byte
      if ((b & 0x80) || (room < 7 && (chunk >> room) != 0)) return VarintStatus::kOverflow;
    }
    v |= chunk << shift;
    if (!(b & 0x80)) {
      *out = v;
      *pos = p;
      return VarintStatus::kOk;
    }
  }
  return VarintStatus::kOverflow;
}

// Unsigned LEB128 of a 128-bit value: 1 to 19 bytes.
inline void put_varint_u128(std::string* dst, unsigned __int128 v) {
  char buf[19];
  size_t n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<char>((static_cast<uint8_t>(v) & 0x7F) | 0x80);
    v >>= 7;
  }
  buf[n++] = static_cast<char>(v);
  dst->append(buf, n);
}

// Decodes a 128-bit LEB128 value from [*pos, end): at most 19 bytes, the 19th
// at most 0x03. Advances *pos on success only.
inline VarintStatus get_varint_u128(const uint8_t** pos, const uint8_t* end,
                                    unsigned __int128* out) {
  const uint8_t* p = *pos;
  unsigned __int128 v = 0;
  for (unsigned i = 0; i < 19; ++i) {
    if (p >= end) return VarintStatus::kTruncated;
    const uint8_t b = *p++;
    if (i == 18 && b > 0x03) return VarintStatus::kOverflow;
    v |= static_cast<unsigned __int128>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) {
      *out = v;
      *pos = p;
      return VarintStatus::kOk;
    }
  }
  return VarintStatus::kOverflow;
}

inline uint64_t zigzag_encode(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t zigzag_decode(uint64_t v) {
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

}  // namespace zv::coding
