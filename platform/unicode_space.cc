#include "platform/unicode_space.h"

#include <cstddef>

namespace zv {
namespace {

// The character at byte i when it is a well-formed sequence; 0xFFFFFFFF for a
// stray or truncated byte (never White_Space). *len gets its byte length.
uint32_t decode_at(std::string_view s, size_t i, size_t* len) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[i + k]); };
  auto cont = [&](size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
  const uint8_t c = b(0);
  *len = 1;
  if (c < 0x80) return c;
  if ((c & 0xE0) == 0xC0 && cont(1)) {
    *len = 2;
    return (c & 0x1Fu) << 6 | (b(1) & 0x3Fu);
  }
  if ((c & 0xF0) == 0xE0 && cont(1) && cont(2)) {
    *len = 3;
    return (c & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
  }
  if ((c & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
    *len = 4;
    return (c & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
  }
  return 0xFFFFFFFFu;
}

}  // namespace

bool is_unicode_white_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

std::string_view trim_unicode_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t len;
    if (!is_unicode_white_space(decode_at(text, begin, &len))) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the lead byte of the last character (at most 3 continuations).
    size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80)
      --start;
    size_t len;
    if (!is_unicode_white_space(decode_at(text, start, &len)) || start + len != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace zv
