#include "src/text/unicode_case.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/testing/temp_dir.h"
#include "platform/utf8.h"

namespace zv::text {
namespace {

std::string from_hex_list(const std::string& hexes) {
  std::string out;
  std::istringstream in(hexes);
  std::string h;
  while (in >> h) append_utf8(&out, static_cast<char32_t>(std::stoul(h, nullptr, 16)));
  return out;
}

#if defined(ZV_TEST_PYTHON) && defined(ZV_TEXT_SOURCE_DIR)
// Every code point, and whole pieces in every final-sigma context, lower-case
// exactly as the build's Python does.
TEST(UnicodeCase, FullLowerMatchesPythonStrLower) {
  zv::testing::TempDir dir;
  const std::string out = dir.path() + "/lower_reference.txt";
  const std::string cmd = std::string("\"") + ZV_TEST_PYTHON + "\" \"" + ZV_TEXT_SOURCE_DIR +
                          "/write_lower_reference.py\" \"" + out + "\"";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::ifstream in(out);
  ASSERT_TRUE(in.good());
  std::string line;
  size_t cases = 0, mismatches = 0;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string input = from_hex_list(line.substr(0, tab));
    const std::string expected = from_hex_list(line.substr(tab + 1));
    ++cases;
    if (full_lower(input) != expected) {
      if (++mismatches <= 10) ADD_FAILURE() << "input code points: " << line.substr(0, tab);
    }
  }
  EXPECT_GT(cases, 1100000u);
  EXPECT_EQ(mismatches, 0u);
}
#endif

TEST(UnicodeCase, SpecialCasingAndFinalSigma) {
  EXPECT_EQ(full_lower("\xC4\xB0stanbul"), "i\xCC\x87stanbul");
  // ΟΔΟΣ -> οδος with a final sigma; a lone capital sigma stays medial.
  EXPECT_EQ(full_lower("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");
  EXPECT_EQ(full_lower("\xCE\xA3"), "\xCF\x83");
  // Cased letter before, a cased letter after: medial.
  EXPECT_EQ(full_lower("A\xCE\xA3" "B"), "a\xCF\x83" "b");
  // An apostrophe (case-ignorable) between letter and sigma is skipped.
  EXPECT_EQ(full_lower("A'\xCE\xA3"), "a'\xCF\x82");
  EXPECT_EQ(full_lower("HELLO, World"), "hello, world");
  // Bytes that are not UTF-8 become U+FFFD instead of passing through.
  EXPECT_EQ(full_lower("A\xFF"), "a\xEF\xBF\xBD");
}

TEST(UnicodeCase, WhiteSpaceSetIsTheListedOneOnly) {
  for (char32_t c : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A,
                     0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    EXPECT_TRUE(is_unicode_whitespace(c)) << std::hex << static_cast<uint32_t>(c);
  }
  // U+001C..U+001F count as space to Python's isspace but not here.
  for (char32_t c : {0x1C, 0x1D, 0x1E, 0x1F, 0x200B, 0x180E, 0xFEFF, 0x08, 0x0}) {
    EXPECT_FALSE(is_unicode_whitespace(c)) << std::hex << static_cast<uint32_t>(c);
  }
}

}  // namespace
}  // namespace zv::text
