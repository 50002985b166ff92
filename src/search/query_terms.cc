#include "src/search/query_terms.h"

#include <string>
#include <vector>

#include "src/search/fold.h"
#include "src/text/text_tokenizer.h"

namespace zv::search {
namespace {

enum class Mode { kIndex, kSnippet };

bool has_non_ascii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

std::vector<std::string> piece_tokens(const std::string& piece, Mode mode) {
  std::vector<std::string> out;
  if (mode == Mode::kIndex) {
    text::for_each_token(piece, [&](std::string_view t) { out.emplace_back(t); });
    return out;
  }
  text::for_each_token(snippet::fold_text(piece), [&](std::string_view t) { out.emplace_back(t); });
  if (out.empty() && has_non_ascii(piece)) out.push_back(piece);
  return out;
}

text::ParsedTextQuery map_pieces(const text::ParsedTextQuery& parsed, Mode mode) {
  text::ParsedTextQuery out;
  // Every phrase piece is also a term, so the terms cover all pieces.
  for (const std::string& piece : parsed.terms) {
    for (std::string& t : piece_tokens(piece, mode)) out.terms.insert(std::move(t));
  }
  for (const auto& phrase : parsed.phrases) {
    std::vector<std::string> tokens;
    for (const std::string& piece : phrase) {
      for (std::string& t : piece_tokens(piece, mode)) tokens.push_back(std::move(t));
    }
    if (!tokens.empty()) out.phrases.push_back(std::move(tokens));
  }
  return out;
}

}  // namespace

text::ParsedTextQuery query_index_terms(const text::ParsedTextQuery& parsed) {
  return map_pieces(parsed, Mode::kIndex);
}

text::ParsedTextQuery query_index_terms(std::string_view query) {
  return query_index_terms(text::parse_text_query(query));
}

text::ParsedTextQuery query_snippet_terms(const text::ParsedTextQuery& parsed) {
  return map_pieces(parsed, Mode::kSnippet);
}

}  // namespace zv::search
