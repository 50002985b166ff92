#include "src/text/text_tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/utf8.h"
#include "src/text/unicode_case.h"

namespace zv::text {
namespace {

using Tokens = std::vector<std::string>;

TEST(TextTokenizer, TableOfTexts) {
  struct Case {
    std::string text;
    Tokens tokens;
  };
  const Case cases[] = {
      {"Hello, World! 42x", {"hello", "world", "42x"}},
      {"caf\xC3\xA9", {"caf"}},
      {"na\xC3\xAFve", {"na", "ve"}},
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80", {}},  // Cyrillic
      {"\xCE\x93\xCE\xB5\xCE\xB9\xCE\xAC \xCF\x83\xCE\xBF\xCF\x85", {}},  // Greek
      {"\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C", {}},           // CJK
      {"", {}},
      {"snake_case", {"snake", "case"}},
      {"don't", {"don", "t"}},
      {"e-book", {"e", "book"}},
      {"\xC4\xB0stanbul", {"i", "stanbul"}},        // U+0130 gives 'i', its dot separates
      {"5\xE2\x84\xAA", {"5k"}},                    // U+212A KELVIN SIGN joins as 'k'
      {"a\xE2\x84\xAA" "b", {"akb"}},
      {"\xE2\x84\xAB", {}},                         // U+212B ANGSTROM lower-cases to a non-ASCII letter
      {"  ,,;  ", {}},
      {"ABC\xC4\xB0" "DEF", {"abci", "def"}},
      // Bytes that are not UTF-8 separate and never crash the walk.
      {"ab\xFF" "cd\xE2\x84", {"ab", "cd"}},
      {"x\xC4", {"x"}},
      {std::string("a\0b", 3), {"a", "b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tokenize(c.text), c.tokens) << c.text;
  }
}

// The tokenizer's byte-level fast path against the rule read literally:
// lower-case each character on its own (U+0130 to 'i' and U+0307), then
// split at everything that is not an ASCII letter or digit.
Tokens reference_tokens(std::string_view text) {
  std::u32string lowered;
  for (size_t i = 0; i < text.size();) {
    const Utf8Char ch = decode_utf8_at(text, i);
    i += ch.len;
    if (ch.cp == 0x130) {
      lowered += U'i';
      lowered += char32_t{0x307};
    } else {
      lowered += simple_lower(ch.cp);
    }
  }
  Tokens out;
  std::string cur;
  for (char32_t c : lowered) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      cur.push_back(static_cast<char>(c));
    } else if (!cur.empty()) {
      out.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

TEST(TextTokenizer, MatchesTheLiteralRuleOnRandomText) {
  const std::vector<std::string> pieces = {
      "a", "Z", "7", " ", "_", "-", "'", "\xC4\xB0", "\xE2\x84\xAA", "\xE2\x84\xAB", "\xC3\xA9",
      "\xC3\x89", "\xCE\xA3", "\xE4\xBD\xA0", "\xF0\x9F\x98\x80", "\xEF\xBC\xA1", "\xFF", "\xE2\x84"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    ASSERT_EQ(tokenize(text), reference_tokens(text)) << text;
  }
}

TEST(TextTokenizer, TokenStatsCountsPositionsAndLength) {
  TextTokenStats s = token_stats("a b a");
  EXPECT_EQ(s.term_frequencies, (std::map<std::string, uint32_t, std::less<>>{{"a", 2}, {"b", 1}}));
  EXPECT_EQ(s.positions["a"], (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(s.positions["b"], (std::vector<uint32_t>{1}));
  EXPECT_EQ(s.doc_len, 3u);

  // Separators between tokens do not move positions.
  s = token_stats("a, , b");
  EXPECT_EQ(s.positions["a"], (std::vector<uint32_t>{0}));
  EXPECT_EQ(s.positions["b"], (std::vector<uint32_t>{1}));
  EXPECT_EQ(s.doc_len, 2u);

  s = token_stats("");
  EXPECT_EQ(s.doc_len, 0u);
  EXPECT_TRUE(s.term_frequencies.empty());
  EXPECT_TRUE(s.positions.empty());
}

TEST(TextTokenizer, TermCountsAndDistinctTokensAreByteOrdered) {
  auto counts = term_counts("b A a 9 b a");
  std::vector<std::pair<std::string, uint32_t>> got(counts.begin(), counts.end());
  EXPECT_EQ(got, (std::vector<std::pair<std::string, uint32_t>>{{"9", 1}, {"a", 3}, {"b", 2}}));
  auto distinct = distinct_tokens("b A a 9 b a");
  EXPECT_EQ(Tokens(distinct.begin(), distinct.end()), (Tokens{"9", "a", "b"}));
}

}  // namespace
}  // namespace zv::text
