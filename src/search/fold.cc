#include "src/search/fold.h"

#include <algorithm>
#include <cstring>

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

void fold_append(std::string* out, std::string_view text) {
  // Only ASCII capitals and the two-byte sequences C3 80..C3 BF change;
  // every other byte is copied as it is. The output is never longer, so it
  // is written through a pointer into room of the input's size.
  const size_t n = text.size();
  const size_t base = out->size();
  out->resize(base + n);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* w = out->data() + base;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char b = in[i];
    if (b < 0x80) {
      *w++ = static_cast<char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
    } else if (b == 0xC3 && i + 1 < n && (in[i + 1] & 0xC0) == 0x80) {
      const unsigned idx = in[i + 1] - 0x80u;  // U+00C0 + idx
      if ((kLatin1FoldMask >> idx) & 1) {
        *w++ = kLatin1Fold[idx];
      } else {
        *w++ = static_cast<char>(b);
        *w++ = static_cast<char>(in[i + 1]);
      }
      ++i;
    } else {
      *w++ = static_cast<char>(b);
    }
  }
  out->resize(static_cast<size_t>(w - out->data()));
}

std::string fold_text(std::string_view text) {
  std::string out;
  fold_append(&out, text);
  return out;
}

std::optional<size_t> find_folded(std::string_view text, std::string_view folded_needle) {
  // Blocks end before a byte that is not a continuation byte, so no letter
  // is split and the blocks' folds joined equal the text's fold.
  constexpr size_t kBlock = 2048;
  std::string folded;
  folded.reserve(std::min(text.size(), 2 * kBlock));
  size_t done = 0;     // text bytes folded so far
  size_t from = 0;     // folded offset where the next search starts
  while (done < text.size()) {
    size_t end = std::min(text.size(), done + kBlock);
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    fold_append(&folded, text.substr(done, end - done));
    done = end;
    const size_t at = folded.find(folded_needle, from);
    if (at != std::string::npos) return at;
    // A match may still start in the last needle-length - 1 bytes.
    if (folded.size() + 1 > folded_needle.size()) from = folded.size() + 1 - folded_needle.size();
  }
  return std::nullopt;
}

size_t unfolded_offset(std::string_view text, size_t folded_offset) {
  // The same byte rules as fold_text: only an accented two-byte letter that
  // folds to one ASCII byte changes length, and each begins with 0xC3, so
  // the runs between those bytes map one to one.
  const size_t n = text.size();
  const char* base = text.data();
  size_t i = 0;
  size_t f = 0;
  while (i < n) {
    const void* hit = std::memchr(base + i, 0xC3, n - i);
    const size_t c3 = hit ? static_cast<size_t>(static_cast<const char*>(hit) - base) : n;
    if (folded_offset - f <= c3 - i) return i + (folded_offset - f);
    f += c3 - i;
    i = c3;
    if (i == n) break;
    const auto next = i + 1 < n ? static_cast<unsigned char>(base[i + 1]) : 0u;
    const bool shrinks = (next & 0xC0) == 0x80 && ((kLatin1FoldMask >> (next - 0x80u)) & 1);
    i += shrinks ? 2 : 1;
    f += 1;
  }
  return n;
}

}  // namespace zv::snippet
