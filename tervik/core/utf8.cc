#include "tervik/core/utf8.h"

namespace tervik {

std::string Utf8Error::debug_string() const {
  std::string out = "Utf8Error { valid_up_to: " + std::to_string(valid_up_to) + ", error_len: ";
  out += error_len ? "Some(" + std::to_string(*error_len) + ")" : std::string("None");
  out += " }";
  return out;
}

std::optional<Utf8Error> validate_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    uint8_t b = s[i];
    if (b < 0x80) { ++i; continue; }
    size_t width;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return Utf8Error{i, 1};
    }
    // Count the continuation bytes that are valid; a bad one ends the sequence.
    size_t k = 1;
    for (; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      uint8_t c = s[i + k];
      uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
      if (c < l || c > h) return Utf8Error{i, static_cast<uint8_t>(k)};
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace tervik
