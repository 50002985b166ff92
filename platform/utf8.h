// The one UTF-8 module of every component: validation (where the first bad
// sequence starts and how long it is, or just whether the bytes are valid;
// plain ASCII is checked eight bytes at a time) and the code-point walk
// (decode one code point, append one). Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zv {

// The first invalid sequence: the length of the valid prefix before it and
// the length of the bad sequence (none when the input ended inside one).
struct Utf8Fault {
  size_t valid_up_to = 0;
  std::optional<uint8_t> error_len;

  bool operator==(const Utf8Fault&) const = default;
};

// None when the bytes are valid UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return !find_utf8_fault(bytes); }

// One decoded code point and the bytes it took.
struct Utf8Char {
  char32_t cp = 0;
  uint8_t len = 0;
};

inline constexpr char32_t kReplacementChar = 0xFFFD;

// The code point that starts at text[pos] (pos < text.size()). A byte that
// does not start a well-formed sequence (overlong, surrogate, past U+10FFFF,
// cut short) decodes as U+FFFD of length 1, so a walk always advances and
// resynchronises on the next byte.
inline Utf8Char decode_utf8_at(std::string_view text, size_t pos) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data()) + pos;
  const size_t left = text.size() - pos;
  const uint8_t b = s[0];
  if (b < 0x80) return {b, 1};
  const Utf8Char bad{kReplacementChar, 1};
  auto cont = [&](size_t k) { return k < left && (s[k] & 0xC0) == 0x80; };
  if (b >= 0xC2 && b <= 0xDF) {
    if (!cont(1)) return bad;
    return {static_cast<char32_t>(((b & 0x1F) << 6) | (s[1] & 0x3F)), 2};
  }
  if (b >= 0xE0 && b <= 0xEF) {
    if (!cont(1) || !cont(2)) return bad;
    const char32_t cp = ((b & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return bad;
    return {cp, 3};
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return bad;
    const char32_t cp =
        ((b & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) | (s[3] & 0x3F);
    if (cp < 0x10000 || cp > 0x10FFFF) return bad;
    return {cp, 4};
  }
  return bad;
}

// Appends the UTF-8 form of a code point; a surrogate or a value past
// U+10FFFF is written as U+FFFD.
inline void append_utf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
    return;
  }
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacementChar;
  char buf[4];
  size_t n;
  if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    n = 4;
  }
  for (size_t k = 1; k < n; ++k) {
    buf[k] = static_cast<char>(0x80 | ((cp >> (6 * (n - 1 - k))) & 0x3F));
  }
  out->append(buf, n);
}

}  // namespace zv
