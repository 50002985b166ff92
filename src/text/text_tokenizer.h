// The index tokenizer "lowercase-ascii-alnum", version 1, and what is built
// on it: token statistics with positions, term counts and distinct tokens.
// Tokens are runs of a-z and 0-9 after lower-casing; every other character
// (non-ASCII letters included) separates. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zv::text {

inline constexpr std::string_view kTokenizerName = "lowercase-ascii-alnum";
inline constexpr uint32_t kTokenizerVersion = 1;

// One document's token statistics; maps ordered by the token bytes.
struct TextTokenStats {
  std::map<std::string, uint32_t, std::less<>> term_frequencies;
  std::map<std::string, std::vector<uint32_t>, std::less<>> positions;
  uint32_t doc_len = 0;

  bool operator==(const TextTokenStats&) const = default;
};

namespace tokenizer_detail {
// Lower-cased byte of an ASCII letter or digit, 0 for any other byte.
struct AsciiTable {
  char map[256];
  constexpr AsciiTable() : map() {
    for (int c = 0; c < 256; ++c) {
      map[c] = 0;
      if (c >= '0' && c <= '9') map[c] = static_cast<char>(c);
      if (c >= 'a' && c <= 'z') map[c] = static_cast<char>(c);
      if (c >= 'A' && c <= 'Z') map[c] = static_cast<char>(c + 32);
    }
  }
};
inline constexpr AsciiTable kAscii{};
}  // namespace tokenizer_detail

// Calls fn(std::string_view token) for every index token in text order. The
// view is valid only during the call. One pass; the buffer grows to the
// longest token. Only two non-ASCII characters lower-case to a token
// character: U+212A (Kelvin sign) to 'k', U+0130 to 'i' followed by a
// combining dot, which separates.
template <class Fn>
void for_each_token(std::string_view text, Fn&& fn) {
  std::string cur;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      const char c = tokenizer_detail::kAscii.map[b];
      if (c != 0) {
        // A run of token bytes is appended in one go.
        size_t j = i + 1;
        while (j < n && tokenizer_detail::kAscii.map[s[j]] != 0) ++j;
        const size_t start = cur.size();
        cur.resize(start + (j - i));
        for (size_t k = i; k < j; ++k) cur[start + (k - i)] = tokenizer_detail::kAscii.map[s[k]];
        i = j;
        continue;
      }
      ++i;
    } else if (b == 0xE2 && i + 2 < n && s[i + 1] == 0x84 && s[i + 2] == 0xAA) {
      cur.push_back('k');  // U+212A KELVIN SIGN
      i += 3;
      continue;
    } else if (b == 0xC4 && i + 1 < n && s[i + 1] == 0xB0) {
      cur.push_back('i');  // U+0130: 'i', then U+0307 ends the token
      i += 2;
    } else {
      ++i;  // any other non-ASCII byte separates
    }
    if (!cur.empty()) {
      fn(std::string_view(cur));
      cur.clear();
    }
  }
  if (!cur.empty()) fn(std::string_view(cur));
}

// The index tokens of the text in order, with repeats.
std::vector<std::string> tokenize(std::string_view text);

// Term frequencies, ascending positions per token, and the token count.
TextTokenStats token_stats(std::string_view text);

// Occurrences per token, saturating at 4,294,967,295.
std::map<std::string, uint32_t, std::less<>> term_counts(std::string_view text);

// The distinct tokens, sorted by bytes.
std::set<std::string, std::less<>> distinct_tokens(std::string_view text);

}  // namespace zv::text
