#include "src/text/text_query.h"

#include <limits>

#include "platform/utf8.h"
#include "src/text/unicode_case.h"

namespace zv::text {

std::vector<std::string> split_and_lower(std::string_view text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  size_t i = 0;
  auto cut = [&](size_t end) {
    if (end > start) pieces.push_back(full_lower(text.substr(start, end - start)));
  };
  while (i < text.size()) {
    const Utf8Char ch = decode_utf8_at(text, i);
    if (is_unicode_whitespace(ch.cp)) {
      cut(i);
      start = i + ch.len;
    }
    i += ch.len;
  }
  cut(text.size());
  return pieces;
}

ParsedTextQuery parse_text_query(std::string_view query) {
  ParsedTextQuery out;
  std::string plain;
  std::string phrase;
  bool in_phrase = false;
  auto add_terms = [&](std::string_view buffer) {
    for (auto& piece : split_and_lower(buffer)) out.terms.insert(std::move(piece));
  };
  // A double quote is one ASCII byte and never part of a multi-byte
  // sequence, so the query is walked by bytes.
  for (char c : query) {
    if (c != '"') {
      (in_phrase ? phrase : plain).push_back(c);
      continue;
    }
    if (!in_phrase) {
      add_terms(plain);
      plain.clear();
      in_phrase = true;
    } else {
      std::vector<std::string> pieces = split_and_lower(phrase);
      if (!pieces.empty()) {
        for (const auto& p : pieces) out.terms.insert(p);
        out.phrases.push_back(std::move(pieces));
      }
      phrase.clear();
      in_phrase = false;
    }
  }
  // The words of an unclosed phrase become plain terms.
  if (in_phrase) plain += phrase;
  add_terms(plain);
  return out;
}

std::map<std::string, std::vector<uint32_t>, std::less<>> tokenize_terms(std::string_view text) {
  std::map<std::string, std::vector<uint32_t>, std::less<>> out;
  uint64_t index = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  for (auto& piece : split_and_lower(text)) {
    out[std::move(piece)].push_back(static_cast<uint32_t>(index < kMax ? index : kMax));
    ++index;
  }
  return out;
}

}  // namespace zv::text
