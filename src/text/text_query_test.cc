#include "src/text/text_query.h"

#include <gtest/gtest.h>

namespace zv::text {
namespace {

using Strings = std::vector<std::string>;

Strings terms_of(const ParsedTextQuery& q) { return Strings(q.terms.begin(), q.terms.end()); }

TEST(TextQuery, TermsAndPhrases) {
  struct Case {
    std::string query;
    Strings terms;
    std::vector<Strings> phrases;
  };
  const Case cases[] = {
      {"Foo \"Bar baz\" qux", {"bar", "baz", "foo", "qux"}, {{"bar", "baz"}}},
      {"\"alpha beta", {"alpha", "beta"}, {}},  // unclosed: plain terms, no phrase
      {"\"\"", {}, {}},
      {"\" \"", {}, {}},
      {"Hello, World", {"hello,", "world"}, {}},
      {"ab\"cd ef\"gh", {"ab", "cd", "ef", "gh"}, {{"cd", "ef"}}},
      {"\"a b\" x \"a b\" x", {"a", "b", "x"}, {{"a", "b"}, {"a", "b"}}},
      {"", {}, {}},
      {"  \t\n ", {}, {}},
      // Unicode white space splits; U+001C does not.
      {"a\xE3\x80\x80" "b\xC2\xA0" "c\x1C" "d", {"a", "b", "c\x1C" "d"}, {}},
      {"\xC4\xB0stanbul", {"i\xCC\x87stanbul"}, {}},
      // A capital sigma ending a word is final; inside it is medial.
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 \xCE\xA3\xCE\x91",
       {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", "\xCF\x83\xCE\xB1"}, {}},
      {"\"\xCE\x9F\xCE\xA3\"", {"\xCE\xBF\xCF\x82"}, {{"\xCE\xBF\xCF\x82"}}},
  };
  for (const auto& c : cases) {
    ParsedTextQuery q = parse_text_query(c.query);
    EXPECT_EQ(terms_of(q), c.terms) << c.query;
    EXPECT_EQ(q.phrases, c.phrases) << c.query;
  }
}

TEST(TextQuery, WhitespacePositionMap) {
  auto m = tokenize_terms("A b a");
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(m["a"], (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(m["b"], (std::vector<uint32_t>{1}));

  m = tokenize_terms("x,  y");
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(m["x,"], (std::vector<uint32_t>{0}));
  EXPECT_EQ(m["y"], (std::vector<uint32_t>{1}));

  EXPECT_TRUE(tokenize_terms(" \u2028 ").empty());
}

}  // namespace
}  // namespace zv::text
