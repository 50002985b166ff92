// The words of a search text as the text index knows them. The query parser
// keeps each white-space piece's punctuation ("paris?", "e-book"), which no
// stored token has; these helpers pass every piece through the index
// tokenizer, so that a query finds, scores and explains what the index
// holds. Pure functions.
#pragma once

#include <string_view>

#include "src/text/text_query.h"

namespace zv::search {

// Terms: the tokens of every piece; a phrase: the tokens of its pieces in
// order, dropped when it has none. No terms means a blank query.
text::ParsedTextQuery query_index_terms(const text::ParsedTextQuery& parsed);
text::ParsedTextQuery query_index_terms(std::string_view query);

// The same for snippets, which also compare accented Latin-1 letters: each
// piece is folded first (école gives ecole), and a piece without a token is
// kept as it is when it holds a non-ASCII character (a Greek or CJK word),
// dropped when it is ASCII punctuation alone.
text::ParsedTextQuery query_snippet_terms(const text::ParsedTextQuery& parsed);

}  // namespace zv::search
