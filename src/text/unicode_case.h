// Full Unicode lower-casing of whole strings (special casing of U+0130 and the
// final-sigma rule included) and the White_Space set, as the query parser and
// the whitespace position map use them. Pure functions, thread-safe.
#pragma once

#include "platform/unicode_space.h"

#include <string>
#include <string_view>

namespace zv::text {

// The lower case of one code point when it is a single code point (U+0130,
// whose lower case is two, gives 'i'); the code point itself when it has none.
char32_t simple_lower(char32_t cp);

// The case class of a code point for the final-sigma rule.
bool is_case_ignorable(char32_t cp);
bool is_cased(char32_t cp);

// The Unicode White_Space property (the one predicate of platform/).
inline bool is_unicode_whitespace(char32_t c) { return is_unicode_white_space(static_cast<uint32_t>(c)); }

// The whole string lower-cased by the full rules: U+0130 becomes 'i' and
// U+0307, and a capital sigma becomes U+03C2 when a cased letter precedes it
// and none follows it (case-ignorable characters skipped on both sides).
// Bytes that are not UTF-8 come out as U+FFFD.
std::string full_lower(std::string_view text);

}  // namespace zv::text
