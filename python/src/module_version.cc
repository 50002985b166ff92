#include <cstdint>

#include "platform/env.h"
#include "python/src/module.h"

namespace zv::py {

namespace {

// The Unicode White_Space property.
bool is_unicode_whitespace(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Length of the UTF-8 sequence that starts with this byte (1 for stray bytes).
size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

uint32_t decode_at(std::string_view s, size_t pos, size_t len) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[pos + i])); };
  switch (len) {
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    case 4:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    default: return b(0);
  }
}

}  // namespace

std::string_view strip_unicode_whitespace(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t len = sequence_length(static_cast<unsigned char>(text[begin]));
    if (begin + len > text.size() || !is_unicode_whitespace(decode_at(text, begin, len))) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    // Step back to the lead byte of the last character.
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t len = end - start;
    if (sequence_length(static_cast<unsigned char>(text[start])) != len ||
        !is_unicode_whitespace(decode_at(text, start, len))) {
      break;
    }
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string module_version() {
  EnvValue v = get_env(kReportedVersionEnv);
  if (!v.is_text()) return kDefaultVersion;
  std::string_view stripped = strip_unicode_whitespace(v.text);
  if (stripped.empty()) return kDefaultVersion;
  return std::string(stripped);
}

}  // namespace zv::py
