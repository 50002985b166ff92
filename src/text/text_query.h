// The query parser (terms and double-quoted phrases of a search text) and the
// whitespace position map of a field's text. Both split at Unicode
// White_Space and lower-case each piece by the full Unicode rules; pieces
// keep their punctuation. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zv::text {

struct ParsedTextQuery {
  // Distinct lower-cased terms, every phrase token included; byte order.
  std::set<std::string, std::less<>> terms;
  // Phrases in order of appearance, repeats kept; each non-empty.
  std::vector<std::vector<std::string>> phrases;

  bool operator==(const ParsedTextQuery&) const = default;
};

// Splits at whitespace, drops empty pieces, lower-cases each piece.
std::vector<std::string> split_and_lower(std::string_view text);

ParsedTextQuery parse_text_query(std::string_view query);

// Lower-cased whitespace piece -> its indexes among the pieces (saturating
// at 4,294,967,295).
std::map<std::string, std::vector<uint32_t>, std::less<>> tokenize_terms(std::string_view text);

}  // namespace zv::text
