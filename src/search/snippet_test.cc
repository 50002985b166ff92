#include "src/search/snippet.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zv::snippet {
namespace {

std::string repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string strip_markers(std::string s) {
  for (std::string_view m : {kOpenMarker, kCloseMarker}) {
    for (size_t at; (at = s.find(m)) != std::string::npos;) s.erase(at, m.size());
  }
  return s;
}

std::string mark(const std::string& text, const std::string& query) {
  return highlight(text, text::parse_text_query(query));
}

TEST(BuildSnippet, Windows) {
  const std::string t120 = " " + repeat("x", 118) + " ";
  const std::string t121 = " " + repeat("x", 119) + " ";
  const std::string at48 = repeat("x", 48) + "needle" + repeat("y", 100);
  const std::string at49 = repeat("x", 49) + "needle" + repeat("y", 100);
  // A three-byte character across the start (byte 43) and the end (byte 169).
  const std::string wide = repeat("€", 30) + "a" + "needle" + "b" + repeat("€", 40);
  // A hundred accented letters fold one byte shorter each before the match.
  const std::string accented = repeat("é", 100) + " needle " + repeat("ü", 100);
  const std::string two_words = "zebra " + repeat("filler ", 30) + "apple " + repeat("tail ", 20);
  const std::string paris = repeat("the river flows ", 20) + "Paris. " + repeat("and on ", 20);
  struct Case {
    std::string text, query;
    bool highlighting;
    std::optional<std::string> want;
  } cases[] = {
      {t120, "zzz", false, t120},
      {t121, "zzz", false, repeat("x", 74) + "..."},  // absent: first 3 + 72 bytes
      {at48, "needle", false, at48.substr(0, 126) + "..."},
      {at49, "needle", false, "..." + at49.substr(1, 126) + "..."},
      {wide, "needle", false, "..." + wide.substr(42, 128) + "..."},
      {t121, "   ", false, std::nullopt},
      {t121, "? !", false, std::nullopt},
      {"short Text", "text", true, "short <strong>Text</strong>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(build_snippet(c.text, c.query, c.highlighting), c.want) << c.text << " / " << c.query;
  }

  const auto a = build_snippet(accented, "needle", true);
  ASSERT_TRUE(a);
  EXPECT_NE(a->find("<strong>needle</strong>"), std::string::npos) << *a;
  EXPECT_EQ(a->rfind("...", 0), 0u);

  const auto z = build_snippet(two_words, "zebra apple", false);
  ASSERT_TRUE(z);
  EXPECT_NE(z->find("apple"), std::string::npos);
  EXPECT_EQ(z->find("zebra"), std::string::npos);

  const auto p = build_snippet(paris, "paris?", true);
  ASSERT_TRUE(p);
  EXPECT_NE(p->find("<strong>Paris</strong>."), std::string::npos) << *p;
  EXPECT_EQ(p->find('?'), std::string::npos);
}

TEST(Highlight, Cases) {
  struct Case {
    std::string text, query, want;
  } cases[] = {
      {"Hello, world", "hello", "<strong>Hello</strong>, world"},
      {"Hello, world", "\"hello\"", "<strong>Hello</strong>, world"},
      {"L'ÉCOLE est là", "école", "L'<strong>ÉCOLE</strong> est là"},
      {"ein λόγος hier", "λόγος", "ein <strong>λόγος</strong> hier"},
      {"ein ΛΌΓΟΣ hier", "λόγος", "ein ΛΌΓΟΣ hier"},
      {"Is it Paris.", "paris?", "Is it <strong>Paris</strong>."},
      {"an e-book, then", "\"e-book\"", "an <strong>e-book</strong>, then"},
      {"I love New York, not new big york.", "\"new york\"",
       "I love <strong>New York</strong>, not new big york."},
      {"ab", "a ab", "<strong>a</strong>b"},
      {"new york and new york", "\"new york\"", "<strong>new york</strong> and new york"},
      // A later phrase before an earlier one, a loose term before both, and
      // two phrases sharing a word: text order, the overlapping one dropped.
      {"today new york city", "\"york city\" \"new york\" today",
       "<strong>today</strong> new <strong>york city</strong>"},
      {"big cat, small dog", "\"small dog\" \"big cat\"",
       "<strong>big cat</strong>, <strong>small dog</strong>"},
      {"nothing here", "\"absent words\" more", "nothing here"},
  };
  for (const Case& c : cases) {
    const std::string got = mark(c.text, c.query);
    EXPECT_EQ(got, c.want) << c.query;
    EXPECT_EQ(strip_markers(got), c.text) << c.query;
  }
}

}  // namespace
}  // namespace zv::snippet
