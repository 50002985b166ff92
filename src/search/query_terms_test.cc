#include "src/search/query_terms.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace zv::search {
namespace {

using Terms = std::set<std::string, std::less<>>;
using Phrases = std::vector<std::vector<std::string>>;

TEST(QueryIndexTerms, PiecesGoThroughTheIndexTokenizer) {
  struct Case {
    const char* query;
    Terms terms;
    Phrases phrases;
  } cases[] = {
      {"Paris?", {"paris"}, {}},
      {"Café", {"caf"}, {}},
      {"\"e-book\"", {"e", "book"}, {{"e", "book"}}},
      {"don't", {"don", "t"}, {}},
      {"?! ...", {}, {}},
      {"λόγος", {}, {}},
      {"\"?!\" word", {"word"}, {}},  // a phrase of punctuation is dropped
      {"\"New York,\" NEW", {"new", "york"}, {{"new", "york"}}},
  };
  for (const Case& c : cases) {
    const text::ParsedTextQuery q = query_index_terms(c.query);
    EXPECT_EQ(q.terms, c.terms) << c.query;
    EXPECT_EQ(q.phrases, c.phrases) << c.query;
  }
}

TEST(QuerySnippetTerms, FoldedFirstAndNonAsciiWordsKept) {
  struct Case {
    const char* query;
    Terms terms;
    Phrases phrases;
  } cases[] = {
      {"école", {"ecole"}, {}},
      {"Café?", {"cafe"}, {}},
      {"λόγος ?", {"λόγος"}, {}},
      {"paris ?", {"paris"}, {}},
      {"\"e-book\"", {"e", "book"}, {{"e", "book"}}},
      {"\"λόγος καί\"", {"καί", "λόγος"}, {{"λόγος", "καί"}}},
  };
  for (const Case& c : cases) {
    const text::ParsedTextQuery q = query_snippet_terms(text::parse_text_query(c.query));
    EXPECT_EQ(q.terms, c.terms) << c.query;
    EXPECT_EQ(q.phrases, c.phrases) << c.query;
  }
}

}  // namespace
}  // namespace zv::search
