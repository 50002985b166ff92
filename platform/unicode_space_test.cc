#include "platform/unicode_space.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(UnicodeSpace, TrimTable) {
  struct Case {
    std::string_view in, want;
  } cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"\u3000\u00a0word\u2029\u0085", "word"},
      {"  a b  ", "a b"},
      {"\u200b x", "\u200b x"},  // zero width space is not White_Space
      {"\xe2\x80", "\xe2\x80"},  // truncated sequence stays
      {" \x80 ", "\x80"},        // stray continuation byte stays
      {"x\xc2", "x\xc2"},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_unicode_white_space(c.in), c.want) << c.in;
}

TEST(UnicodeSpace, PropertyHasExactly25CodePoints) {
  int count = 0;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) count += is_unicode_white_space(cp) ? 1 : 0;
  EXPECT_EQ(count, 25);
}

}  // namespace
}  // namespace zv
