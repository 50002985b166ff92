#include "platform/debug_quote.h"

#include <cstdio>

namespace zv {

std::string debug_quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\0': out += "\\0"; ++i; continue;
      default: break;
    }
    char buf[16];
    if (c < 0x20 || c == 0x7F) {
      const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", c);
      out.append(buf, static_cast<size_t>(n));
      ++i;
      continue;
    }
    // C1 controls (U+0080..U+009F) are the two bytes C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < s.size()) {
      const auto c2 = static_cast<unsigned char>(s[i + 1]);
      if (c2 >= 0x80 && c2 <= 0x9F) {
        const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", c2);
        out.append(buf, static_cast<size_t>(n));
        i += 2;
        continue;
      }
    }
    out.push_back(static_cast<char>(c));
    ++i;
  }
  out.push_back('"');
  return out;
}

}  // namespace zv
