#include "src/search/fold.h"

namespace zv::snippet {

//                               C0..C7    C8..CF    D0..D7    D8..DF
const char kLatin1Fold[64] = {'a', 'a', 'a', 'a', 'a', 'a', 0,   'c',   // ÀÁÂÃÄÅÆÇ
                              'e', 'e', 'e', 'e', 'i', 'i', 'i', 'i',   // ÈÉÊËÌÍÎÏ
                              0,   'n', 'o', 'o', 'o', 'o', 'o', 0,     // ÐÑÒÓÔÕÖ×
                              'o', 'u', 'u', 'u', 'u', 'y', 0,   0,     // ØÙÚÛÜÝÞß
                              'a', 'a', 'a', 'a', 'a', 'a', 0,   'c',   // àáâãäåæç
                              'e', 'e', 'e', 'e', 'i', 'i', 'i', 'i',   // èéêëìíîï
                              0,   'n', 'o', 'o', 'o', 'o', 'o', 0,     // ðñòóôõö÷
                              'o', 'u', 'u', 'u', 'u', 'y', 0,   'y'};  // øùúûüýþÿ

uint32_t fold_char(uint32_t cp) {
  if (cp >= 'A' && cp <= 'Z') return cp + ('a' - 'A');
  if (cp >= 0xC0 && cp <= 0xFF && ((kLatin1FoldMask >> (cp - 0xC0)) & 1) != 0)
    return static_cast<unsigned char>(kLatin1Fold[cp - 0xC0]);
  return cp;
}

std::string fold_text(std::string_view text) {
  // Only ASCII capitals and the two-byte sequences C3 80..C3 BF change;
  // every other byte is copied as it is.
  std::string out;
  out.reserve(text.size());
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 'A' && b <= 'Z') {
      out.push_back(static_cast<char>(b + ('a' - 'A')));
    } else if (b == 0xC3 && i + 1 < n && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
      const unsigned idx = static_cast<unsigned char>(text[i + 1]) - 0x80u;  // U+00C0 + idx
      if ((kLatin1FoldMask >> idx) & 1) {
        out.push_back(kLatin1Fold[idx]);
      } else {
        out.push_back(text[i]);
        out.push_back(text[i + 1]);
      }
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

size_t unfolded_offset(std::string_view text, size_t folded_offset) {
  // The same byte rules as fold_text: only an accented two-byte letter that
  // folds to one ASCII byte changes length.
  const size_t n = text.size();
  size_t i = 0;
  for (size_t f = 0; f < folded_offset && i < n; ++f) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == 0xC3 && i + 1 < n && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80 &&
        ((kLatin1FoldMask >> (static_cast<unsigned char>(text[i + 1]) - 0x80u)) & 1)) {
      i += 2;
    } else {
      i += 1;
    }
  }
  return i;
}

}  // namespace zv::snippet
