#include "platform/env.h"

#include <cstdlib>

namespace zv {

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) { ++i; continue; }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) ||
        (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

EnvValue get_env(const char* name) {
  const char* v = std::getenv(name);
  EnvValue out;
  if (v == nullptr) return out;
  std::string_view sv(v);
  if (!is_valid_utf8(sv)) {
    out.state = EnvValue::State::kNotUnicode;
    return out;
  }
  out.state = EnvValue::State::kText;
  out.text = std::string(sv);
  return out;
}

std::optional<std::string> get_env_text(const char* name) {
  EnvValue v = get_env(name);
  if (!v.is_text()) return std::nullopt;
  return std::move(v.text);
}

}  // namespace zv
