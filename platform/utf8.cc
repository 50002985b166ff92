#include "platform/utf8.h"

#include <cstring>

namespace zv {

std::optional<Utf8Fault> find_utf8_fault(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const uint8_t b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t width;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
      return Utf8Fault{i, 1};
    }
    // Count the continuation bytes that are valid; a bad one ends the sequence.
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Fault{i, std::nullopt};
      const uint8_t c = s[i + k];
      const uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (c < l || c > h) return Utf8Fault{i, static_cast<uint8_t>(k)};
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace zv
