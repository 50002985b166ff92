#include "src/search/fold.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>

namespace zv::snippet {
namespace {

std::string utf8(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

TEST(FoldText, EveryRowOfTheTable) {
  const struct {
    const char* letters;
    char to;
  } rows[] = {
      {"ÀÁÂÃÄÅàáâãäå", 'a'}, {"Çç", 'c'}, {"ÈÉÊËèéêë", 'e'}, {"ÌÍÎÏìíîï", 'i'}, {"Ññ", 'n'},
      {"ÒÓÔÕÖØòóôõöø", 'o'}, {"ÙÚÛÜùúûü", 'u'}, {"Ýýÿ", 'y'},
  };
  for (const auto& row : rows) {
    std::string in = row.letters;
    EXPECT_EQ(fold_text(in), std::string(in.size() / 2, row.to)) << row.letters;
  }
  EXPECT_EQ(fold_text("ABCXYZ abc-09"), "abcxyz abc-09");
  EXPECT_EQ(fold_text("ÆÐ×Þßæð÷þ"), "ÆÐ×Þßæð÷þ");  // the nine unchanged letters
  // Other characters, also those whose lower case exists elsewhere.
  EXPECT_EQ(fold_text("ΣΑΣ Ωmega Ж Ā ā ŸЁ 東京 ☃"), "ΣΑΣ Ωmega Ж Ā ā ŸЁ 東京 ☃");
}

TEST(FoldText, MaskRebuiltFromTheTable) {
  uint64_t mask = 0;
  for (uint32_t i = 0; i < 64; ++i) {
    const uint32_t folded = fold_char(0xC0 + i);
    if (folded != 0xC0 + i) {
      EXPECT_LT(folded, 0x80u);
      mask |= uint64_t{1} << i;
    }
  }
  EXPECT_EQ(mask, 0xBF7EFFBF3F7EFFBFULL);
}

TEST(FoldText, NeverLongerAndConsistentWithPerCharacterFolding) {
  for (uint32_t cp = 1; cp < 0x3000; cp += (cp < 0x200 ? 1 : 97)) {
    const std::string in = utf8(cp) + "x";
    const std::string out = fold_text(in);
    EXPECT_LE(out.size(), in.size());
    EXPECT_EQ(out, utf8(fold_char(cp)) + "x") << cp;
  }
  // Stray bytes pass through untouched.
  EXPECT_EQ(fold_text("\xC3"), "\xC3");
  EXPECT_EQ(fold_text("\x80\xC3\xC3\x89"), "\x80\xC3" "e");
}

// Every folded offset maps to the text offset whose prefix folds to it: the
// folded prefix is exactly that long and the text prefix ends where a
// folded character ends. Random mixes of ASCII, folding and non-folding
// accented letters, other multi-byte characters and stray bytes.
TEST(UnfoldedOffset, ProjectsFoldedOffsetsBack) {
  const char* pieces[] = {"a", "B", "é", "É", "Æ", "ß", "€", "\xC3", "\x80", "\xC3\xC3\x89", " "};
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) text += pieces[rng() % std::size(pieces)];
    const std::string folded = fold_text(text);
    size_t prev = 0;
    for (size_t k = 0; k <= folded.size() + 2; ++k) {
      const size_t at = unfolded_offset(text, k);
      ASSERT_LE(at, text.size());
      ASSERT_GE(at, prev);
      prev = at;
      if (k >= folded.size()) {
        EXPECT_EQ(at, text.size()) << k;
        continue;
      }
      // The text's remainder folds to the folded text's remainder, unless
      // the cut fell between the two bytes of a folding letter.
      if (fold_text(text.substr(0, at)).size() == k) {
        EXPECT_EQ(fold_text(text.substr(at)), folded.substr(k)) << k;
      } else {
        EXPECT_EQ(fold_text(text.substr(0, at)).size(), k + 1) << k;
      }
    }
  }
  const std::string acc = "Ã©Ã© word";  // "éé word"
  EXPECT_EQ(unfolded_offset(acc, fold_text(acc).find("word")), acc.find("word"));
}

// The early-stopping search finds what a search of the whole folded text
// finds, also across its internal block edges (texts of a few thousand
// bytes, needles that straddle every position near 2048).
TEST(FindFolded, EqualsSearchingTheWholeFold) {
  const char* pieces[] = {"a", "b", "É", "é", "Æ", "€", "ab", "\xC3", " "};
  std::mt19937 rng(9);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const size_t len = 1500 + rng() % 3000;
    while (text.size() < len) text += pieces[rng() % std::size(pieces)];
    const std::string folded = fold_text(text);
    for (int q = 0; q < 8; ++q) {
      const size_t at = rng() % folded.size();
      const std::string needle = folded.substr(at, 1 + rng() % 12);
      const size_t want = folded.find(needle);
      EXPECT_EQ(find_folded(text, needle), std::optional<size_t>(want));
    }
    EXPECT_EQ(find_folded(text, "zz"), std::nullopt);
  }
}

}  // namespace
}  // namespace zv::snippet
