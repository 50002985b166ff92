#include "src/search/fold.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zv::snippet
